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
    "                     [--max] [--fast-retraction]\n"
    "       kelvo compile NETFILE [--method clique-size|clique-weight|fill-in-size|fill-in-weight]\n"
    "                     [--log FILE]\n"
    "       kelvo --help\n"
    "\n"
    "beliefs  compiles the network, enters the evidence, propagates it and prints the\n"
    "         belief of every state (max-marginals with --max; expected utilities for\n"
    "         decisions; mean and variance for continuous nodes), then P(evidence).\n"
    "         A state is given by its label or as #INDEX.\n"
    "         NETFILE is read as BIF when its name ends in .bif, as KB when it ends\n"
    "         in .kb, as NET otherwise.\n"
    "compile  compiles the network and prints the size of its junction forest and the\n"
    "         time of each stage; --log writes the compilation log to FILE.\n";

struct ToolError {
    std::string message;
};

[[noreturn]] void fail(const std::string &message)
{
    throw ToolError{message};
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

kv_domain_t load(const std::string &path)
{
    file_name = path;
    if (FILE *f = std::fopen(path.c_str(), "r"))
        std::fclose(f);
    else
        fail("cannot read " + path + ": " + std::strerror(errno));
    // By extension: BIF, KB, else NET.
    auto ends_with = [&](const char *suffix) {
        size_t n = std::strlen(suffix);
        return path.size() >= n && path.compare(path.size() - n, n, suffix) == 0;
    };
    kv_domain_t d = ends_with(".bif") ? kv_bif_parse_domain(path.c_str(), parse_error, nullptr)
                    : ends_with(".kb") ? kv_kb_load_domain(path.c_str(), nullptr)
                                       : kv_net_parse_domain(path.c_str(), parse_error, nullptr);
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

int beliefs(int argc, char **argv)
{
    if (argc < 1)
        fail("beliefs: NETFILE expected");
    std::string path = argv[0];
    std::vector<std::string> evidence, likelihoods;
    kv_equilibrium_t eq = kv_equilibrium_sum;
    kv_evidence_mode_t mode = kv_mode_normal;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
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
        else
            fail("unknown argument: " + a);
    }
    Domain owner{load(path)};
    kv_domain_t d = owner.d;
    compile(d, path.c_str());
    enter_evidence(d, evidence, likelihoods);
    if (kv_domain_propagate(d, eq, mode))
        fail(std::string("cannot propagate the evidence: ") + kv_error_description(kv_error_code()));

    std::vector<kv_node_t> nodes = declaration_order(d);
    size_t width = 4;
    for (kv_node_t n : nodes)
        width = std::max(width, std::strlen(kv_node_get_name(n)));
    const char *heading = eq == kv_equilibrium_max ? "max-marginal" : "belief";
    std::printf("%-*s  %-16s %s\n", int(width), "node", "state", heading);
    for (kv_node_t n : nodes) {
        kv_node_category_t c = kv_node_get_category(n);
        const char *name = kv_node_get_name(n);
        if (c == kv_category_utility)
            continue;
        if (kv_node_get_kind(n) == kv_kind_continuous) {
            std::printf("%-*s  %-16s %.6f\n", int(width), name, "mean", kv_node_get_mean(n));
            std::printf("%-*s  %-16s %.6f\n", int(width), "", "variance", kv_node_get_variance(n));
            continue;
        }
        size_t k = kv_node_get_number_of_states(n);
        for (size_t s = 0; s < k; ++s) {
            std::string label = kv_node_get_state_label(n, s);
            if (label.empty())
                label = "#" + std::to_string(s);
            double v = c == kv_category_decision ? kv_node_get_expected_utility(n, s)
                                                 : kv_node_get_belief(n, s);
            std::printf("%-*s  %-16s %.6f%s\n", int(width), s ? "" : name, label.c_str(), v,
                        c == kv_category_decision ? "  (expected utility)" : "");
        }
    }
    // In max equilibrium the constant is the probability of the most
    // probable configuration that agrees with the evidence.
    std::printf(eq == kv_equilibrium_max ? "P(most probable configuration) = %.6g\n" : "P(evidence) = %.6g\n",
                kv_domain_get_normalization_constant(d));
    return 0;
}

int compile_command(int argc, char **argv)
{
    if (argc < 1)
        fail("compile: NETFILE expected");
    std::string path = argv[0];
    kv_triangulation_method_t method = kv_tm_fill_in_weight;
    std::string log_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--method" && i + 1 < argc) {
            std::string m = argv[++i];
            if (m == "clique-size")
                method = kv_tm_clique_size;
            else if (m == "clique-weight")
                method = kv_tm_clique_weight;
            else if (m == "fill-in-size")
                method = kv_tm_fill_in_size;
            else if (m == "fill-in-weight")
                method = kv_tm_fill_in_weight;
            else
                fail("unknown method: " + m);
        } else if (a == "--log" && i + 1 < argc) {
            log_path = argv[++i];
        } else {
            fail("unknown argument: " + a);
        }
    }
    Domain owner{load(path)};
    kv_domain_t d = owner.d;
    FILE *log = nullptr;
    if (!log_path.empty()) {
        log = std::fopen(log_path.c_str(), "w");
        if (!log)
            fail("cannot write " + log_path + ": " + std::strerror(errno));
        kv_domain_set_log_file(d, log); // the domain closes it
    }
    Clock::time_point start = Clock::now();
    if (kv_domain_triangulate(d, method))
        fail("cannot triangulate " + path + ": " + kv_error_description(kv_error_code()));
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
    std::printf("network          %s\n", path.c_str());
    std::printf("nodes            %zu\n", kv_domain_get_number_of_nodes(d));
    std::printf("cliques          %zu\n", cliques);
    std::printf("largest clique   %zu members\n", largest);
    std::printf("total table size %zu\n", kv_domain_get_jt_cost(d));
    std::printf("junction trees   %zu\n", trees);
    std::printf("time             %.3f s\n", total);
    std::printf("  %-32s %.3f s\n", "Triangulating", triangulation);
    for (auto &[stage, seconds] : stages)
        std::printf("  %-32s %.3f s\n", stage.c_str(), seconds);
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
        if (command == "beliefs")
            return beliefs(argc - 2, argv + 2);
        if (command == "compile")
            return compile_command(argc - 2, argv + 2);
        fail("unknown command: " + command + " (see kelvo --help)");
    } catch (const ToolError &e) {
        std::fprintf(stderr, "kelvo: %s\n", e.message.c_str());
        return 1;
    }
}
