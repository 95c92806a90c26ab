// kelvo: the command-line tool.  Compiles NET networks, enters evidence,
// propagates and prints beliefs, expected utilities, means and variances.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelvo.h"

namespace {

const char usage_text[] =
    "usage: kelvo beliefs NETFILE [--evidence NODE=STATE ...] [--likelihood NODE=w1,w2,...]\n"
    "                     [--uai-evidence FILE] [--max] [--fast-retraction] [--method M]\n"
    "                     [--threads N] [--precision N] [--json | --csv] [--from FORMAT]\n"
    "       kelvo compile NETFILE [--method M] [--log FILE] [--json | --csv] [--from FORMAT]\n"
    "       kelvo cases NETFILE CASEFILE [--nodes A,B,...] [--threads N] [--precision N]\n"
    "                     [--json | --csv] [--from FORMAT]\n"
    "       kelvo convert IN OUT [--from FORMAT] [--to FORMAT]\n"
    "       kelvo learn em NETFILE CASEFILE OUT [--iterations N] [--to FORMAT]\n"
    "       kelvo learn pc [NETFILE] CASEFILE OUT [--alpha A] [--iterations N] [--to FORMAT]\n"
    "       kelvo --version | --help\n"
    "\n"
    "beliefs  compiles the network, enters the evidence, propagates it and prints the\n"
    "         belief of every state (max-marginals with --max, and then the most\n"
    "         probable configuration; expected utilities for decisions and utility\n"
    "         nodes; mean and variance for continuous nodes), then P(evidence), its\n"
    "         logarithm and the conflict.  A state is given by its label or as #INDEX.\n"
    "compile  compiles the network and prints the size of its junction forest and the\n"
    "         time of each stage; --log writes the compilation log to FILE.\n"
    "cases    propagates each case of a case data file (one line per case) and prints\n"
    "         one row per case: P(evidence) and the beliefs of the --nodes.\n"
    "convert  writes the network in another format.\n"
    "learn    learns the tables of NETFILE from the cases by EM (em), or first drops\n"
    "         its links and learns new ones by the PC algorithm at significance level\n"
    "         A (pc, 0.05 unless given), and writes the network to OUT.  Without a\n"
    "         NETFILE, pc takes the nodes from the case file's header and their states\n"
    "         from its quoted labels, in the order they first appear.\n"
    "\n"
    "Formats (FORMAT, or by the file name's ending): net (.net), kb (.kb), bif (.bif),\n"
    "xmlbif (.xml, .xmlbif), uai (.uai); NET otherwise.  A file name - is the standard\n"
    "input (or output), in every format but kb.  Methods: clique-size, clique-weight,\n"
    "fill-in-size, fill-in-weight (the default), optimal.  --precision is the number\n"
    "of digits after the point (text; 6 unless given) or of significant digits (JSON\n"
    "and CSV; 17 unless given).  --threads sets the concurrency level.\n"
    "\n"
    "Exit status: 0 done; 1 the input could not be read, compiled or propagated; 2 the\n"
    "command line is wrong.\n";

struct ToolError {
    std::string message;
    int status;
};

// The input or the work failed (exit status 1).
[[noreturn]] void fail(const std::string &message)
{
    throw ToolError{message, 1};
}

// The command line is wrong (exit status 2).
[[noreturn]] void usage_error(const std::string &message)
{
    throw ToolError{message, 2};
}

std::string file_name;

void parse_error(size_t line, kv_string_t message, void *)
{
    std::fprintf(stderr, "%s:%zu: %s\n", file_name.c_str(), line, message);
}

// Owns a domain; error paths leave through exceptions.
struct Domain {
    kv_domain_t d = nullptr;
    ~Domain()
    {
        if (d)
            kv_domain_delete(d);
    }
};

enum class Format { net, kb, bif, xmlbif, uai };

Format format_named(const std::string &name)
{
    if (name == "net")
        return Format::net;
    if (name == "kb")
        return Format::kb;
    if (name == "bif")
        return Format::bif;
    if (name == "xmlbif" || name == "xml")
        return Format::xmlbif;
    if (name == "uai")
        return Format::uai;
    usage_error("unknown format: " + name);
}

bool ends_with(const std::string &s, const char *suffix)
{
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

Format format_of(const std::string &path)
{
    if (ends_with(path, ".kb"))
        return Format::kb;
    if (ends_with(path, ".bif"))
        return Format::bif;
    if (ends_with(path, ".xml") || ends_with(path, ".xmlbif"))
        return Format::xmlbif;
    if (ends_with(path, ".uai"))
        return Format::uai;
    return Format::net;
}

void stdin_parse_error(size_t line, kv_string_t message)
{
    std::fprintf(stderr, "-:%zu: %s\n", line, message);
}

std::string read_stdin()
{
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        text.append(buffer, n);
    if (std::ferror(stdin))
        fail("cannot read the standard input");
    return text;
}

kv_domain_t load(const std::string &path, const Format *given = nullptr)
{
    file_name = path;
    Format f = given ? *given : path == "-" ? Format::net : format_of(path);
    kv_domain_t d = nullptr;
    if (path == "-") {
        if (f == Format::kb)
            usage_error("KB files cannot come from the standard input");
        std::string text = read_stdin();
        d = f == Format::bif      ? kv_bif_parse_from_string(text.c_str(), parse_error, nullptr)
            : f == Format::xmlbif ? kv_xmlbif_parse_from_string(text.c_str(), parse_error, nullptr)
            : f == Format::uai    ? kv_uai_parse_from_string(text.c_str(), parse_error, nullptr)
                                  : kv_net_parse_from_string(text.c_str(), stdin_parse_error);
    } else {
        if (FILE *file = std::fopen(path.c_str(), "r"))
            std::fclose(file);
        else
            fail("cannot read " + path + ": " + std::strerror(errno));
        d = f == Format::bif      ? kv_bif_parse_domain(path.c_str(), parse_error, nullptr)
            : f == Format::xmlbif ? kv_xmlbif_parse_domain(path.c_str(), parse_error, nullptr)
            : f == Format::uai    ? kv_uai_parse_domain(path.c_str(), parse_error, nullptr)
            : f == Format::kb     ? kv_kb_load_domain(path.c_str(), nullptr)
                                  : kv_net_parse_domain(path.c_str(), parse_error, nullptr);
    }
    if (!d)
        fail("cannot load " + path + ": " + kv_error_description(kv_error_code()));
    return d;
}

// Progress of long compilations, on a terminal only.
using Clock = std::chrono::steady_clock;
Clock::time_point stage_start;
std::vector<std::pair<std::string, double>> stages;

void progress(kv_string_t stage)
{
    Clock::time_point now = Clock::now();
    if (!stages.empty())
        stages.back().second = std::chrono::duration<double>(now - stage_start).count();
    stages.push_back({stage, 0.0});
    stage_start = now;
    static Clock::time_point first = now;
    if (isatty(STDERR_FILENO) && std::chrono::duration<double>(now - first).count() > 1.0)
        std::fprintf(stderr, "kelvo: %s ...\n", stage);
}

void compile(kv_domain_t d, const char *what)
{
    stages.clear();
    Clock::time_point start = Clock::now();
    stage_start = start;
    if (kv_domain_compile_qualitatively(d, progress) || kv_domain_compile_quantitatively(d, progress))
        fail(std::string("cannot compile ") + what + ": " + kv_error_description(kv_error_code()));
    if (!stages.empty())
        stages.back().second = std::chrono::duration<double>(Clock::now() - stage_start).count();
}

kv_node_t find_node(kv_domain_t d, const std::string &name)
{
    kv_node_t n = kv_domain_get_node_by_name(d, name.c_str());
    if (!n)
        fail("unknown node: " + name);
    return n;
}

size_t find_state(kv_node_t n, const std::string &state)
{
    size_t k = kv_node_get_number_of_states(n);
    if (k == static_cast<size_t>(-1))
        fail(std::string("node ") + kv_node_get_name(n) + " has no states");
    if (!state.empty() && state[0] == '#') {
        char *end = nullptr;
        unsigned long i = std::strtoul(state.c_str() + 1, &end, 10);
        if (state.size() < 2 || *end || i >= k)
            fail("unknown state " + state + " of node " + kv_node_get_name(n));
        return i;
    }
    for (size_t s = 0; s < k; ++s)
        if (state == kv_node_get_state_label(n, s))
            return s;
    fail("unknown state " + state + " of node " + kv_node_get_name(n));
}

std::pair<std::string, std::string> split(const std::string &arg, const char *option)
{
    size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0)
        fail(std::string(option) + " expects NODE=VALUE, got " + arg);
    return {arg.substr(0, eq), arg.substr(eq + 1)};
}

double number(const std::string &text)
{
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || !std::isfinite(v))
        fail("bad number: " + text);
    return v;
}

void enter_evidence(kv_domain_t d, const std::vector<std::string> &evidence,
                    const std::vector<std::string> &likelihoods)
{
    for (const std::string &e : evidence) {
        auto [name, value] = split(e, "--evidence");
        kv_node_t n = find_node(d, name);
        if (kv_node_get_kind(n) == kv_kind_continuous) {
            if (kv_node_enter_value(n, number(value)))
                fail("cannot enter a value for " + name);
        } else if (kv_node_select_state(n, find_state(n, value))) {
            fail("cannot enter evidence on " + name + ": " + kv_error_description(kv_error_code()));
        }
    }
    for (const std::string &l : likelihoods) {
        auto [name, value] = split(l, "--likelihood");
        kv_node_t n = find_node(d, name);
        std::vector<double> weights;
        size_t start = 0;
        for (;;) {
            size_t comma = value.find(',', start);
            weights.push_back(number(value.substr(start, comma - start)));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        size_t k = kv_node_get_number_of_states(n);
        if (k == static_cast<size_t>(-1) || weights.size() != k)
            fail("--likelihood for " + name + " needs " + std::to_string(k == size_t(-1) ? 0 : k) +
                 " weights");
        for (size_t s = 0; s < k; ++s)
            if (weights[s] < 0 || kv_node_enter_finding(n, s, weights[s]))
                fail("bad likelihood weight for " + name);
    }
}

std::vector<kv_node_t> declaration_order(kv_domain_t d)
{
    std::vector<kv_node_t> nodes;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        nodes.push_back(n);
    return nodes; // newest first: the first declared node leads after a parse
}

// Options shared by the commands that print numbers.
struct Output {
    enum { text, json, csv } form = text;
    int precision = -1; // -1: the form's own
    size_t threads = 0; // 0: leave the concurrency level alone
    bool from_given = false;
    Format from = Format::net;

    // Takes the option at argv[i] if it is one of these: true then.
    bool take(int argc, char **argv, int &i)
    {
        std::string a = argv[i];
        if (a == "--json" || a == "--csv") {
            form = a == "--json" ? json : csv;
            return true;
        }
        if (a == "--from" && i + 1 < argc) {
            from = format_named(argv[++i]);
            from_given = true;
            return true;
        }
        if ((a == "--precision" || a == "--threads") && i + 1 < argc) {
            char *end = nullptr;
            unsigned long v = std::strtoul(argv[++i], &end, 10);
            if (!*argv[i] || *end || (a == "--precision" && v > 17) || (a == "--threads" && (v < 1 || v > 1024)))
                usage_error("bad value for " + a + ": " + argv[i]);
            if (a == "--precision")
                precision = int(v);
            else
                threads = v;
            return true;
        }
        return false;
    }
    std::string number(double x) const
    {
        char buffer[64];
        if (form == text && std::isnan(x))
            return "-";
        if (form == text)
            std::snprintf(buffer, sizeof buffer, "%.*f", precision < 0 ? 6 : precision, x);
        else if (!std::isfinite(x))
            return form == json ? "null" : "";
        else
            std::snprintf(buffer, sizeof buffer, "%.*g", precision < 1 ? 17 : precision, x);
        return buffer;
    }
};

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string csv_field(const std::string &s)
{
    if (s.find_first_of(",\"\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string state_name(kv_node_t n, size_t s)
{
    std::string label = kv_node_get_state_label(n, s);
    return label.empty() ? "#" + std::to_string(s) : label;
}

// The expected utility of a utility node: its table against the joint
// belief of its chance parents, at the chosen states of its decision
// parents; NaN while one of those is not chosen (or the joint belief is not
// available).
double expected_utility(kv_domain_t d, kv_node_t u)
{
    kv_table_t t = kv_node_get_table(u);
    if (!t)
        return NAN;
    std::vector<kv_node_t> parents, chance;
    for (kv_node_t *p = kv_table_get_nodes(t); *p; ++p)
        parents.push_back(*p);
    std::vector<size_t> chosen(parents.size(), size_t(-1));
    for (size_t j = 0; j < parents.size(); ++j) {
        kv_node_t p = parents[j];
        if (kv_node_get_category(p) != kv_category_decision) {
            chance.push_back(p);
            continue;
        }
        size_t k = kv_node_get_number_of_states(p), on = 0;
        for (size_t s = 0; s < k; ++s)
            if (kv_node_get_entered_finding(p, s) > 0) {
                ++on;
                chosen[j] = s;
            }
        if (on != 1)
            return NAN;
    }
    kv_table_t m = nullptr;
    if (!chance.empty()) {
        chance.push_back(nullptr);
        m = kv_domain_get_marginal(d, chance.data());
        if (!m)
            return NAN;
        chance.pop_back();
    }
    // Walk the utility table (last parent fastest) and the marginal (its
    // own node order) together.
    const double *v = kv_table_get_data(t), *w = m ? kv_table_get_data(m) : nullptr;
    kv_node_t *mn = m ? kv_table_get_nodes(m) : nullptr;
    std::vector<size_t> state(parents.size(), 0);
    double sum = 0;
    for (size_t i = 0; i < kv_table_get_size(t); ++i) {
        bool on = true;
        for (size_t j = 0; j < parents.size(); ++j)
            on = on && (chosen[j] == size_t(-1) || chosen[j] == state[j]);
        if (on) {
            size_t index = 0;
            for (size_t q = 0; mn && mn[q]; ++q) {
                size_t j = size_t(std::find(parents.begin(), parents.end(), mn[q]) - parents.begin());
                index = index * kv_node_get_number_of_states(mn[q]) + state[j];
            }
            sum += (w ? w[index] : 1.0) * v[i];
        }
        for (size_t j = parents.size(); j-- > 0;) {
            if (++state[j] < kv_node_get_number_of_states(parents[j]))
                break;
            state[j] = 0;
        }
    }
    if (m)
        kv_table_delete(m);
    return sum;
}

// In max equilibrium: a configuration of the discrete chance nodes of the
// greatest probability.  Each node in turn takes a state whose max-marginal
// is the largest.  Where another state comes within rounding of it (a tie),
// the choice is entered and propagated before the next node, so that ties
// are resolved consistently; the evidence is put back afterwards.
std::vector<std::pair<kv_node_t, size_t>> most_probable_configuration(kv_domain_t d,
                                                                      const std::vector<kv_node_t> &nodes)
{
    std::vector<std::pair<kv_node_t, size_t>> config, chosen;
    for (kv_node_t n : nodes) {
        if (kv_node_get_category(n) != kv_category_chance || kv_node_get_kind(n) != kv_kind_discrete)
            continue;
        size_t k = kv_node_get_number_of_states(n), best = 0;
        for (size_t s = 1; s < k; ++s)
            if (kv_node_get_belief(n, s) > kv_node_get_belief(n, best))
                best = s;
        config.push_back({n, best});
        bool tie = false;
        double top = kv_node_get_belief(n, best);
        for (size_t s = 0; s < k; ++s)
            tie = tie || (s != best && kv_node_get_belief(n, s) >= top * (1 - 1e-9));
        if (!tie || kv_node_evidence_is_entered(n))
            continue;
        chosen.push_back({n, best});
        if (kv_node_select_state(n, best) || kv_domain_propagate(d, kv_equilibrium_max, kv_mode_normal))
            fail(std::string("cannot find the most probable configuration: ") +
                 kv_error_description(kv_error_code()));
    }
    for (auto [n, s] : chosen)
        kv_node_retract_findings(n);
    if (kv_domain_propagate(d, kv_equilibrium_max, kv_mode_normal))
        fail(std::string("cannot propagate the evidence: ") + kv_error_description(kv_error_code()));
    return config;
}

kv_triangulation_method_t method_named(const std::string &m)
{
    if (m == "clique-size")
        return kv_tm_clique_size;
    if (m == "clique-weight")
        return kv_tm_clique_weight;
    if (m == "fill-in-size")
        return kv_tm_fill_in_size;
    if (m == "fill-in-weight")
        return kv_tm_fill_in_weight;
    if (m == "optimal")
        return kv_tm_optimal;
    usage_error("unknown method: " + m);
}

void triangulate(kv_domain_t d, kv_triangulation_method_t method, const std::string &path)
{
    if (kv_domain_triangulate(d, method))
        fail("cannot triangulate " + path + ": " + kv_error_description(kv_error_code()));
}

int beliefs(int argc, char **argv)
{
    if (argc < 1)
        usage_error("beliefs: NETFILE expected");
    std::string path = argv[0];
    std::vector<std::string> evidence, likelihoods;
    std::string uai_evidence;
    kv_equilibrium_t eq = kv_equilibrium_sum;
    kv_evidence_mode_t mode = kv_mode_normal;
    kv_triangulation_method_t method = kv_tm_fill_in_weight;
    Output out;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (out.take(argc, argv, i))
            continue;
        if (a == "--max")
            eq = kv_equilibrium_max;
        else if (a == "--fast-retraction")
            mode = kv_mode_fast_retraction;
        else if ((a == "--evidence" || a == "--likelihood") && i + 1 < argc)
            (a == "--evidence" ? evidence : likelihoods).push_back(argv[++i]);
        else if (a.rfind("--evidence=", 0) == 0)
            evidence.push_back(a.substr(11));
        else if (a.rfind("--likelihood=", 0) == 0)
            likelihoods.push_back(a.substr(13));
        else if (a == "--uai-evidence" && i + 1 < argc)
            uai_evidence = argv[++i];
        else if (a == "--method" && i + 1 < argc)
            method = method_named(argv[++i]);
        else
            usage_error("unknown argument: " + a);
    }
    Domain owner{load(path, out.from_given ? &out.from : nullptr)};
    kv_domain_t d = owner.d;
    if (out.threads)
        kv_domain_set_concurrency_level(d, out.threads);
    if (!kv_domain_is_compiled(d)) {
        triangulate(d, method, path);
        compile(d, path.c_str());
    }
    if (!uai_evidence.empty()) {
        file_name = uai_evidence;
        if (kv_uai_parse_evidence(d, uai_evidence.c_str(), parse_error, nullptr))
            fail("cannot enter the evidence of " + uai_evidence + ": " + kv_error_description(kv_error_code()));
    }
    enter_evidence(d, evidence, likelihoods);
    if (kv_domain_propagate(d, eq, mode))
        fail(std::string("cannot propagate the evidence: ") + kv_error_description(kv_error_code()));

    std::vector<kv_node_t> nodes = declaration_order(d);
    std::vector<std::pair<kv_node_t, size_t>> config;
    if (eq == kv_equilibrium_max)
        config = most_probable_configuration(d, nodes);
    double pe = kv_domain_get_normalization_constant(d), log_pe = kv_domain_get_log_normalization_constant(d);
    double conflict = eq == kv_equilibrium_sum && mode == kv_mode_normal ? kv_domain_get_conflict(d) : NAN;
    const char *heading = eq == kv_equilibrium_max ? "max-marginal" : "belief";
    // In max equilibrium the constant is the probability of the most
    // probable configuration that agrees with the evidence.
    const char *constant = eq == kv_equilibrium_max ? "P(most probable configuration)" : "P(evidence)";

    // One entry per (node, state or quantity, value, note).
    struct Entry {
        std::string node, what;
        double value;
        const char *kind;
    };
    std::vector<Entry> entries;
    for (kv_node_t n : nodes) {
        kv_node_category_t c = kv_node_get_category(n);
        const char *name = kv_node_get_name(n);
        if (c == kv_category_utility) {
            entries.push_back({name, "expected utility", expected_utility(d, n), "expected utility"});
            continue;
        }
        if (kv_node_get_kind(n) == kv_kind_continuous) {
            entries.push_back({name, "mean", kv_node_get_mean(n), "mean"});
            entries.push_back({name, "variance", kv_node_get_variance(n), "variance"});
            continue;
        }
        size_t k = kv_node_get_number_of_states(n);
        for (size_t s = 0; s < k; ++s)
            entries.push_back({name, state_name(n, s),
                               c == kv_category_decision ? kv_node_get_expected_utility(n, s) : kv_node_get_belief(n, s),
                               c == kv_category_decision ? "expected utility" : heading});
    }
    if (out.form == Output::json) {
        std::printf("{\n  \"network\": %s,\n  \"%s\": {", json_string(path).c_str(),
                    eq == kv_equilibrium_max ? "max-marginals" : "beliefs");
        std::string last;
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry &e = entries[i];
            if (e.node != last)
                std::printf("%s\n    %s: {", last.empty() ? "" : "},", json_string(e.node).c_str());
            else
                std::printf(",");
            std::printf(" %s: %s", json_string(e.what).c_str(), out.number(e.value).c_str());
            last = e.node;
        }
        std::printf("%s\n  },\n", last.empty() ? "" : "}");
        if (eq == kv_equilibrium_max) {
            std::printf("  \"most probable configuration\": {");
            for (size_t i = 0; i < config.size(); ++i)
                std::printf("%s %s: %s", i ? "," : "", json_string(kv_node_get_name(config[i].first)).c_str(),
                            json_string(state_name(config[i].first, config[i].second)).c_str());
            std::printf(" },\n");
        }
        std::printf("  %s: %s,\n  \"log %s\": %s", json_string(constant).c_str(), out.number(pe).c_str(), constant,
                    out.number(log_pe).c_str());
        if (!std::isnan(conflict))
            std::printf(",\n  \"conflict\": %s", out.number(conflict).c_str());
        std::printf("\n}\n");
        return 0;
    }
    if (out.form == Output::csv) {
        std::printf("node,state,%s\n", heading);
        for (const Entry &e : entries)
            std::printf("%s,%s,%s\n", csv_field(e.node).c_str(), csv_field(e.what).c_str(), out.number(e.value).c_str());
        for (auto [n, st] : config)
            std::printf("%s,%s,most probable\n", csv_field(kv_node_get_name(n)).c_str(),
                        csv_field(state_name(n, st)).c_str());
        std::printf("%s,,%s\nlog %s,,%s\n", constant, out.number(pe).c_str(), constant, out.number(log_pe).c_str());
        if (!std::isnan(conflict))
            std::printf("conflict,,%s\n", out.number(conflict).c_str());
        return 0;
    }
    size_t width = 4;
    for (kv_node_t n : nodes)
        width = std::max(width, std::strlen(kv_node_get_name(n)));
    std::printf("%-*s  %-16s %s\n", int(width), "node", "state", heading);
    std::string last;
    for (const Entry &e : entries) {
        bool note = std::strcmp(e.kind, heading) != 0 && std::strcmp(e.kind, "mean") != 0 &&
                    std::strcmp(e.kind, "variance") != 0 && e.what != "expected utility";
        std::printf("%-*s  %-16s %s%s\n", int(width), e.node == last ? "" : e.node.c_str(), e.what.c_str(),
                    out.number(e.value).c_str(), note ? "  (expected utility)" : "");
        last = e.node;
    }
    if (eq == kv_equilibrium_max) {
        std::printf("most probable configuration:");
        for (auto [n, st] : config)
            std::printf(" %s=%s", kv_node_get_name(n), state_name(n, st).c_str());
        std::printf("\n");
    }
    std::printf("%s = %.6g\n", constant, pe);
    std::printf("log %s = %.6g\n", constant, log_pe);
    if (!std::isnan(conflict))
        std::printf("conflict = %.6g\n", conflict);
    return 0;
}

int compile_command(int argc, char **argv)
{
    if (argc < 1)
        usage_error("compile: NETFILE expected");
    std::string path = argv[0];
    kv_triangulation_method_t method = kv_tm_fill_in_weight;
    std::string log_path;
    Output out;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (out.take(argc, argv, i))
            continue;
        if (a == "--method" && i + 1 < argc)
            method = method_named(argv[++i]);
        else if (a == "--log" && i + 1 < argc)
            log_path = argv[++i];
        else
            usage_error("unknown argument: " + a);
    }
    Domain owner{load(path, out.from_given ? &out.from : nullptr)};
    kv_domain_t d = owner.d;
    FILE *log = nullptr;
    if (!log_path.empty()) {
        log = std::fopen(log_path.c_str(), "w");
        if (!log)
            fail("cannot write " + log_path + ": " + std::strerror(errno));
        kv_domain_set_log_file(d, log); // the domain closes it
    }
    if (kv_domain_is_compiled(d) && kv_domain_uncompile(d))
        fail("cannot uncompile " + path + ": " + kv_error_description(kv_error_code()));
    Clock::time_point start = Clock::now();
    triangulate(d, method, path);
    double triangulation = std::chrono::duration<double>(Clock::now() - start).count();
    compile(d, path.c_str());
    double total = std::chrono::duration<double>(Clock::now() - start).count();

    size_t cliques = 0, largest = 0, trees = 0;
    for (kv_clique_t c = kv_domain_get_first_clique(d); c; c = kv_clique_get_next(c)) {
        ++cliques;
        largest = std::max(largest, kv_clique_get_number_of_members(c));
    }
    for (kv_junction_tree_t jt = kv_domain_get_first_junction_tree(d); jt; jt = kv_jt_get_next(jt))
        ++trees;
    size_t nodes = kv_domain_get_number_of_nodes(d), size = kv_domain_get_jt_cost(d);
    stages.insert(stages.begin(), {"Triangulating", triangulation});
    if (out.form == Output::json) {
        std::printf("{\n  \"network\": %s,\n  \"nodes\": %zu,\n  \"cliques\": %zu,\n  \"largest clique\": %zu,\n"
                    "  \"total table size\": %zu,\n  \"junction trees\": %zu,\n  \"seconds\": %s,\n  \"stages\": {",
                    json_string(path).c_str(), nodes, cliques, largest, size, trees, out.number(total).c_str());
        for (size_t i = 0; i < stages.size(); ++i)
            std::printf("%s %s: %s", i ? "," : "", json_string(stages[i].first).c_str(),
                        out.number(stages[i].second).c_str());
        std::printf(" }\n}\n");
        return 0;
    }
    if (out.form == Output::csv) {
        std::printf("quantity,value\nnetwork,%s\nnodes,%zu\ncliques,%zu\nlargest clique,%zu\ntotal table size,%zu\n"
                    "junction trees,%zu\nseconds,%s\n",
                    csv_field(path).c_str(), nodes, cliques, largest, size, trees, out.number(total).c_str());
        for (auto &[stage, seconds] : stages)
            std::printf("%s seconds,%s\n", csv_field(stage).c_str(), out.number(seconds).c_str());
        return 0;
    }
    std::printf("network          %s\n", path.c_str());
    std::printf("nodes            %zu\n", nodes);
    std::printf("cliques          %zu\n", cliques);
    std::printf("largest clique   %zu members\n", largest);
    std::printf("total table size %zu\n", size);
    std::printf("junction trees   %zu\n", trees);
    std::printf("time             %.3f s\n", total);
    for (auto &[stage, seconds] : stages)
        std::printf("  %-32s %.3f s\n", stage.c_str(), seconds);
    return 0;
}

// A progress bar on standard error when it is a terminal.
struct Progress {
    size_t total;
    bool shown = isatty(2) && total >= 100;
    int last = -1;
    void at(size_t done)
    {
        int percent = total ? int(100 * done / total) : 100;
        if (!shown || percent == last)
            return;
        last = percent;
        std::fprintf(stderr, "\r[%-40s] %3d%%", std::string(size_t(percent * 40 / 100), '#').c_str(), percent);
        if (done == total)
            std::fprintf(stderr, "\n");
    }
};

int cases_command(int argc, char **argv)
{
    if (argc < 2)
        usage_error("cases: NETFILE and CASEFILE expected");
    std::string path = argv[0], case_path = argv[1];
    std::vector<std::string> names;
    Output out;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (out.take(argc, argv, i))
            continue;
        if (a == "--nodes" && i + 1 < argc) {
            std::string list = argv[++i];
            for (size_t start = 0;;) {
                size_t comma = list.find(',', start);
                names.push_back(list.substr(start, comma - start));
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else {
            usage_error("unknown argument: " + a);
        }
    }
    Domain owner{load(path, out.from_given ? &out.from : nullptr)};
    kv_domain_t d = owner.d;
    if (out.threads)
        kv_domain_set_concurrency_level(d, out.threads);
    std::vector<kv_node_t> shown;
    for (const std::string &n : names) {
        kv_node_t node = find_node(d, n);
        if (kv_node_get_kind(node) != kv_kind_discrete || kv_node_get_category(node) != kv_category_chance)
            usage_error("--nodes takes discrete chance nodes: " + n);
        shown.push_back(node);
    }
    file_name = case_path;
    if (FILE *f = std::fopen(case_path.c_str(), "r"))
        std::fclose(f);
    else
        fail("cannot read " + case_path + ": " + std::strerror(errno));
    if (kv_domain_parse_cases(d, case_path.c_str(), parse_error, nullptr))
        fail("cannot load " + case_path + ": " + kv_error_description(kv_error_code()));
    if (!kv_domain_is_compiled(d))
        compile(d, path.c_str());
    std::vector<kv_node_t> nodes = declaration_order(d);
    size_t count = kv_domain_get_number_of_cases(d);
    // The header.
    std::vector<std::string> columns = {"case", "P(evidence)"};
    for (kv_node_t n : shown)
        for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
            columns.push_back(std::string(kv_node_get_name(n)) + "=" + state_name(n, s));
    if (out.form == Output::csv) {
        for (size_t i = 0; i < columns.size(); ++i)
            std::printf("%s%s", i ? "," : "", csv_field(columns[i]).c_str());
        std::printf("\n");
    } else if (out.form == Output::json) {
        std::printf("[");
    } else {
        for (size_t i = 0; i < columns.size(); ++i)
            std::printf(i ? " %14s" : "%6s", columns[i].c_str());
        std::printf("\n");
    }
    Progress progress{count};
    for (size_t c = 0; c < count; ++c) {
        progress.at(c);
        kv_domain_retract_findings(d);
        for (kv_node_t n : nodes) {
            if (!kv_node_case_is_set(n, c))
                continue;
            int status = kv_node_get_kind(n) == kv_kind_continuous
                             ? kv_node_enter_value(n, kv_node_get_case_value(n, c))
                             : kv_node_select_state(n, kv_node_get_case_state(n, c));
            if (status)
                fail("cannot enter case " + std::to_string(c + 1) + ": " + kv_error_description(kv_error_code()));
        }
        int status = kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        std::vector<double> values;
        values.push_back(status ? 0.0 : kv_domain_get_normalization_constant(d));
        for (kv_node_t n : shown)
            for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                values.push_back(status ? NAN : kv_node_get_belief(n, s));
        if (out.form == Output::csv) {
            std::printf("%zu", c + 1);
            for (double v : values)
                std::printf(",%s", out.number(v).c_str());
            std::printf("\n");
        } else if (out.form == Output::json) {
            std::printf("%s\n  {\"case\": %zu", c ? "," : "", c + 1);
            for (size_t i = 0; i < values.size(); ++i)
                std::printf(", %s: %s", json_string(columns[i + 1]).c_str(), out.number(values[i]).c_str());
            std::printf("}");
        } else {
            std::printf("%6zu", c + 1);
            for (double v : values)
                std::printf(" %14s", std::isnan(v) ? "-" : out.number(v).c_str());
            std::printf("\n");
        }
    }
    progress.at(count);
    if (out.form == Output::json)
        std::printf("%s]\n", count ? "\n" : "");
    return 0;
}

void save_as(kv_domain_t d, const std::string &out, Format to);

int convert(int argc, char **argv)
{
    if (argc < 2)
        usage_error("convert: IN and OUT expected");
    std::string in = argv[0], out = argv[1];
    Format from = in == "-" ? Format::net : format_of(in), to = out == "-" ? Format::net : format_of(out);
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--from" || a == "--to") && i + 1 < argc)
            (a == "--from" ? from : to) = format_named(argv[++i]);
        else
            usage_error("unknown argument: " + a);
    }
    Domain owner{load(in, &from)};
    kv_domain_t d = owner.d;
    std::string target = out;
    char temporary[] = "/tmp/kelvo-convert-XXXXXX";
    if (out == "-") {
        if (to == Format::kb)
            usage_error("KB files cannot go to the standard output");
        int fd = mkstemp(temporary);
        if (fd < 0)
            fail(std::string("cannot make a temporary file: ") + std::strerror(errno));
        close(fd);
        target = temporary;
    }
    try {
        save_as(d, target, to);
    } catch (const ToolError &) {
        if (out == "-")
            std::remove(temporary);
        throw;
    }
    if (out == "-") {
        FILE *f = std::fopen(temporary, "rb");
        char buffer[65536];
        size_t n;
        while (f && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            std::fwrite(buffer, 1, n, stdout);
        if (f)
            std::fclose(f);
        std::remove(temporary);
    }
    return 0;
}

void save_as(kv_domain_t d, const std::string &out, Format to)
{
    int status = to == Format::kb       ? kv_domain_save_as_kb(d, out.c_str(), nullptr)
                 : to == Format::bif    ? kv_domain_save_as_bif(d, out.c_str())
                 : to == Format::xmlbif ? kv_domain_save_as_xmlbif(d, out.c_str())
                 : to == Format::uai    ? kv_domain_save_as_uai(d, out.c_str())
                                        : kv_domain_save_as_net(d, out.c_str());
    if (status)
        fail("cannot write " + out + ": " + kv_error_description(kv_error_code()));
}

// EM over the cases for every chance node's table; the log-likelihood of
// the data under the learned tables goes to standard output.
void learn_tables(kv_domain_t d, const std::string &path)
{
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        if (kv_node_get_category(n) == kv_category_chance && kv_node_get_kind(n) == kv_kind_discrete &&
            !kv_node_get_experience_table(n))
            fail(std::string("cannot learn the table of ") + kv_node_get_name(n) + ": " +
                 kv_error_description(kv_error_code()));
    if (!kv_domain_is_compiled(d))
        compile(d, path.c_str());
    if (kv_domain_learn_tables(d))
        fail(std::string("cannot learn the tables: ") + kv_error_description(kv_error_code()));
    std::printf("log-likelihood = %.12g\n", kv_domain_get_log_likelihood(d));
}

// The variables of a case data file, for PC without a network: the header
// names the nodes, and each column's quoted state labels, in the order they
// first appear, become its states.
kv_domain_t domain_from_data(const std::string &case_path)
{
    std::FILE *f = std::fopen(case_path.c_str(), "r");
    if (!f)
        fail("cannot read " + case_path + ": " + std::strerror(errno));
    std::vector<std::vector<std::string>> lines;
    std::string line;
    for (int c; (c = std::fgetc(f)) != EOF;) {
        if (c != '\n') {
            line += char(c);
            continue;
        }
        // Words: quoted labels (kept with their quotes) or bare items.
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            char ch = line[i];
            if (ch == ' ' || ch == '\t' || ch == ',' || ch == '\r') {
                ++i;
            } else if (ch == '"') {
                size_t end = line.find('"', i + 1);
                if (end == std::string::npos)
                    end = line.size();
                words.push_back(line.substr(i, end + 1 - i));
                i = end + 1;
            } else {
                size_t end = line.find_first_of(" \t,\r", i);
                if (end == std::string::npos)
                    end = line.size();
                words.push_back(line.substr(i, end - i));
                i = end;
            }
        }
        if (!words.empty())
            lines.push_back(words);
        line.clear();
    }
    std::fclose(f);
    if (lines.empty())
        fail(case_path + " has no header");
    std::vector<std::string> names = lines[0];
    bool counts = !names.empty() && names[0] == "#";
    if (counts)
        names.erase(names.begin());
    std::vector<std::vector<std::string>> states(names.size());
    for (size_t l = 1; l < lines.size(); ++l) {
        size_t first = counts ? 1 : 0;
        for (size_t j = 0; j + first < lines[l].size() && j < names.size(); ++j) {
            const std::string &w = lines[l][j + first];
            if (w == "*" || w == "?")
                continue;
            if (w.size() < 2 || w[0] != '"')
                fail(case_path + ":" + std::to_string(l + 1) + ": learning links from data alone takes quoted state labels, not " + w);
            std::string label = w.substr(1, w.size() - 2);
            if (std::find(states[j].begin(), states[j].end(), label) == states[j].end())
                states[j].push_back(label);
        }
    }
    kv_domain_t d = kv_new_domain();
    // The newest node leads the domain's list: the last column goes first.
    for (size_t j = names.size(); j-- > 0;) {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        if (!n || kv_node_set_name(n, names[j].c_str()) ||
            kv_node_set_number_of_states(n, std::max<size_t>(1, states[j].size())))
            fail("cannot make node " + names[j] + ": " + kv_error_description(kv_error_code()));
        for (size_t s = 0; s < states[j].size(); ++s)
            kv_node_set_state_label(n, s, states[j][s].c_str());
    }
    return d;
}

// kelvo learn em|pc [NETFILE] CASEFILE OUT: the network gives the variables
// and their states (and for em the links); pc drops its links, learns new
// ones and then the tables; pc without a network takes the variables from
// the data.
int learn_command(int argc, char **argv)
{
    if (argc < 1)
        usage_error("learn: em or pc expected");
    std::string how = argv[0];
    if (how != "em" && how != "pc")
        usage_error("learn: em or pc expected, not " + how);
    std::vector<std::string> files;
    bool to_given = false;
    Format to = Format::net;
    double alpha = 0.05;
    size_t iterations = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        char *end = nullptr;
        if (a == "--to" && i + 1 < argc) {
            to = format_named(argv[++i]);
            to_given = true;
        } else if (a == "--alpha" && i + 1 < argc) {
            alpha = std::strtod(argv[++i], &end);
            if (*end || !(alpha > 0 && alpha <= 1))
                usage_error(std::string("bad value for --alpha: ") + argv[i]);
        } else if (a == "--iterations" && i + 1 < argc) {
            iterations = std::strtoul(argv[++i], &end, 10);
            if (*end || !*argv[i])
                usage_error(std::string("bad value for --iterations: ") + argv[i]);
        } else if (a.rfind("--", 0) == 0) {
            usage_error("unknown argument: " + a);
        } else {
            files.push_back(a);
        }
    }
    bool from_data = how == "pc" && files.size() == 2;
    if (files.size() != 3 && !from_data)
        usage_error(how == "pc" ? "learn pc: [NETFILE] CASEFILE and OUT expected"
                                : "learn em: NETFILE, CASEFILE and OUT expected");
    std::string path = from_data ? files[0] : files[0], case_path = files[files.size() - 2], out = files.back();
    if (!to_given)
        to = format_of(out);
    Domain owner{from_data ? domain_from_data(case_path) : load(path)};
    kv_domain_t d = owner.d;
    file_name = case_path;
    if (FILE *f = std::fopen(case_path.c_str(), "r"))
        std::fclose(f);
    else
        fail("cannot read " + case_path + ": " + std::strerror(errno));
    if (kv_domain_parse_cases(d, case_path.c_str(), parse_error, nullptr))
        fail("cannot load " + case_path + ": " + kv_error_description(kv_error_code()));
    if (iterations)
        kv_domain_set_max_number_of_em_iterations(d, iterations);
    if (how == "pc") {
        if (kv_domain_is_compiled(d))
            kv_domain_uncompile(d);
        for (kv_node_t n : declaration_order(d))
            while (kv_node_t *parents = kv_node_get_parents(n))
                if (!*parents || kv_node_remove_parent(n, *parents))
                    break;
        kv_domain_set_significance_level(d, alpha);
        if (kv_domain_learn_structure(d))
            fail(std::string("cannot learn the structure: ") + kv_error_description(kv_error_code()));
        size_t links = 0;
        for (kv_node_t n : declaration_order(d))
            for (kv_node_t *p = kv_node_get_parents(n); p && *p; ++p)
                ++links;
        std::printf("links = %zu\n", links);
    }
    learn_tables(d, case_path);
    if (kv_domain_is_compiled(d) && to != Format::kb)
        kv_domain_uncompile(d);
    save_as(d, out, to);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
            std::fputs(usage_text, argc < 2 ? stderr : stdout);
            return argc < 2 ? 2 : 0;
        }
        std::string command = argv[1];
        if (command == "--version") {
            std::printf("kelvo %s\n", KELVO_VERSION);
            return 0;
        }
        if (command == "beliefs")
            return beliefs(argc - 2, argv + 2);
        if (command == "compile")
            return compile_command(argc - 2, argv + 2);
        if (command == "cases")
            return cases_command(argc - 2, argv + 2);
        if (command == "convert")
            return convert(argc - 2, argv + 2);
        if (command == "learn")
            return learn_command(argc - 2, argv + 2);
        usage_error("unknown command: " + command + " (see kelvo --help)");
    } catch (const ToolError &e) {
        std::fprintf(stderr, "kelvo: %s\n", e.message.c_str());
        return e.status;
    }
}
