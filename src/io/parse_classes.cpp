// NET class files: class blocks with their nodes, potentials, instance
// declarations and interface lists.  Bindings and the interface lists are
// kept aside while a body is read and applied after its `}', so that a node
// may be declared after the instance that uses it.
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/api.h"
#include "core/attribute.h"
#include "core/graph.h"
#include "net_grammar.h"
#include "oobn/oobn.h"

namespace kv {

namespace {

using Name = Vec<char>;

struct InputBinding {
    Name formal, actual;
};

struct PendingInstance {
    kv_node_s *instance;
    Vec<InputBinding> bindings;
};

struct ClassBody {
    kv_domain_s *cls = nullptr;
    bool has_inputs = false, has_outputs = false;
    Vec<Name> inputs, outputs;
    Vec<PendingInstance> instances;
};

struct ClassParse {
    Parser &p;
    kv_class_collection_s *cc;
    kv_class_loader_t loader;
    const char *file_name;
};

const char *class_name(const kv_domain_s *c)
{
    return c->class_name ? c->class_name : "";
}

// `(' names `)' of an interface list, kept as written.
int append_name(Parser &p, Vec<Name> &names)
{
    if (int s = expect(p, '('))
        return s;
    for (;;) {
        int t = next_token(p);
        if (t == ')')
            return kv_error_none;
        if (t != T_NAME && t != T_DOTTED)
            return unexpected(p, t, "node name or `)' expected");
        names.push_back(p.text);
    }
}

// Gives the instance's clone of the output named by `output' the name
// `name'.
int name_clone(Parser &p, kv_node_s *instance, const Name &name, const char *output)
{
    kv_domain_s *l = instance->instance_class;
    kv_node_s *master = _kv_find_node_by_name(l, output);
    if (!master)
        return fatal(p, kv_error_parse, "class `%s' does not have a node named `%s'", class_name(l), output);
    kv_node_s *clone = kv_node_get_output(instance, master);
    if (!clone)
        return fatal(p, kv_error_parse, "node `%s' is not an output node in class `%s'", output, class_name(l));
    if (int s = kv_node_set_name(clone, name.data())) {
        if (s == kv_error_twice)
            return fatal(p, kv_error_parse, "a node named `%s' already exists", name.data());
        return api_error(p, s);
    }
    return kv_error_none;
}

int create_instance(ClassParse &cp, ClassBody &body, const Name &name, const Name &of,
                    kv_node_s *&instance)
{
    Parser &p = cp.p;
    kv_domain_s *l = kv_cc_get_class_by_name(cp.cc, of.data());
    if (!l && cp.loader) {
        // The loader gets its own copy of the name: it may parse files
        // that reuse this parser's buffers.
        Name copy = of;
        cp.loader(copy.data(), cp.cc, p.handler_data);
        l = kv_cc_get_class_by_name(cp.cc, of.data());
    }
    if (!l)
        return fatal(p, kv_error_parse, "loading class `%s' failed", of.data());
    instance = kv_class_new_instance(body.cls, l);
    if (!instance) {
        int s = kv_error_code();
        if (s == kv_error_cyclic_instance_hierarchy)
            return fatal(p, s, "adding class instance `%s' creates a cycle in the instance hierarchy", name.data());
        return api_error(p, s);
    }
    if (int s = kv_node_set_name(instance, name.data())) {
        if (s == kv_error_twice)
            return fatal(p, kv_error_parse, "a node named `%s' already exists", name.data());
        return api_error(p, s);
    }
    return kv_error_none;
}

int parse_instance_attributes(Parser &p, kv_node_s *instance)
{
    if (int s = expect(p, '{'))
        return s;
    kv_attribute_s *before = instance->attributes;
    Name key;
    for (;;) {
        int k = attribute_key(p, key);
        if (k == end_of_block)
            break;
        if (k)
            return k;
        if (std::strcmp(key.data(), "label") == 0) {
            int t = next_token(p);
            if (t != T_STRING)
                return unexpected(p, t, "string expected");
            if (int e = kv_node_set_label(instance, p.text_value()))
                return api_error(p, e);
        } else if (std::strcmp(key.data(), "position") == 0) {
            double x, y;
            if (int s = read_number_pair(p, x, y, false))
                return s;
            kv_node_set_position(instance, truncated<int>(x, INT_MIN, INT_MAX),
                                 truncated<int>(y, INT_MIN, INT_MAX));
        } else if (int s = user_attribute(p, &instance->attributes, key)) {
            return s;
        }
        if (int e = expect(p, ';'))
            return e;
    }
    reverse_attributes(&instance->attributes, before);
    return kv_error_none;
}

int parse_instance_node(ClassParse &cp, ClassBody &body)
{
    Parser &p = cp.p;
    int t = next_token(p);
    if (!is_name(t))
        return unexpected(p, t, "name expected");
    Name name = p.text;
    if (int s = expect(p, ':'))
        return s;
    t = next_token(p);
    if (!is_name(t))
        return unexpected(p, t, "name expected");
    Name of = p.text;
    kv_node_s *instance = nullptr;
    if (int s = create_instance(cp, body, name, of, instance))
        return s;
    if (int s = expect(p, '('))
        return s;

    PendingInstance pending{instance, {}};
    t = next_token(p);
    bool first = true;
    while (t != ';' && t != ')') {
        if (!is_name(t))
            return unexpected(p, t, first ? "name, `;', or `)' expected" : "name expected");
        first = false;
        InputBinding b{p.text, {}};
        if (int s = expect(p, '='))
            return s;
        t = next_token(p);
        if (t != T_NAME && t != T_DOTTED)
            return unexpected(p, t, "name expected");
        b.actual = p.text;
        pending.bindings.push_back(std::move(b));
        t = next_token(p);
        if (t == ',')
            t = next_token(p);
        else if (t != ';' && t != ')')
            return unexpected(p, t, "`,', `;', or `)' expected");
    }
    if (t == ';') {
        t = next_token(p);
        while (t != ')') {
            if (!is_name(t))
                return unexpected(p, t, "name expected");
            Name clone_name = p.text;
            if (int s = expect(p, '='))
                return s;
            t = next_token(p);
            if (!is_name(t))
                return unexpected(p, t, "name expected");
            if (int s = name_clone(p, instance, clone_name, p.text_value()))
                return s;
            t = next_token(p);
            if (t == ',')
                t = next_token(p);
            else if (t != ')')
                return unexpected(p, t, "`,' or `)' expected");
        }
    }
    if (!pending.bindings.empty())
        body.instances.push_back(std::move(pending));
    return parse_instance_attributes(p, instance);
}

// Applies the interface lists, then the input bindings of each instance.
int class_create_input_bindings(Parser &p, ClassBody &body)
{
    kv_domain_s *c = body.cls;
    Vec<kv_node_s *> inputs;
    for (const Name &name : body.inputs) {
        kv_node_s *n = lookup_node(p, c, name.data());
        if (!n)
            return p.status;
        for (kv_node_s *x : inputs)
            if (x == n)
                return fatal(p, kv_error_parse, "node `%s' specified as input twice", name.data());
        inputs.push_back(n);
        if (int e = kv_node_add_to_inputs(n); e == kv_error_no_memory)
            return api_error(p, e);
        else if (e)
            return fatal(p, kv_error_parse, "node `%s' is not a valid input node", name.data());
    }
    Vec<kv_node_s *> outputs;
    for (const Name &name : body.outputs) {
        kv_node_s *n = lookup_node(p, c, name.data());
        if (!n)
            return p.status;
        for (kv_node_s *x : outputs)
            if (x == n)
                return fatal(p, kv_error_parse, "node `%s' specified as output twice", name.data());
        outputs.push_back(n);
        for (kv_node_s *x : inputs)
            if (x == n)
                return fatal(p, kv_error_parse, "node `%s' is specified both as input and as output", name.data());
        if (int e = kv_node_add_to_outputs(n); e == kv_error_no_memory)
            return api_error(p, e);
        else if (e)
            return fatal(p, kv_error_parse, "node `%s' is not a valid output node", name.data());
    }
    for (PendingInstance &pending : body.instances) {
        kv_node_s *instance = pending.instance;
        kv_domain_s *l = instance->instance_class;
        for (const InputBinding &b : pending.bindings) {
            kv_node_s *formal = _kv_find_node_by_name(l, b.formal.data());
            if (!formal || !_kv_node_is_class_input(formal))
                return fatal(p, kv_error_parse, "node `%s' is not an input parameter of class `%s'",
                             b.formal.data(), class_name(l));
            if (kv_node_get_input(instance, formal))
                return fatal(p, kv_error_parse, "input for node `%s' has been specified twice", b.formal.data());
            kv_node_s *actual = lookup_node(p, c, b.actual.data());
            if (!actual)
                return p.status;
            if (int e = kv_node_set_input(instance, formal, actual); e == kv_error_no_memory)
                return api_error(p, e);
            else if (e)
                return fatal(p, kv_error_parse, "nodes `%s' and `%s' are not compatible", b.actual.data(),
                             b.formal.data());
        }
    }
    return kv_error_none;
}

int parse_class_body(ClassParse &cp)
{
    Parser &p = cp.p;
    int t = next_token(p);
    if (!is_name(t))
        return unexpected(p, t, "class name expected");
    kv_domain_s *c = kv_cc_new_class(cp.cc);
    if (!c)
        return api_error(p, kv_error_code());
    if (int s = kv_class_set_name(c, p.text_value())) {
        if (s == kv_error_twice)
            return fatal(p, kv_error_parse, "a class with name `%s' already exists", p.text_value());
        return api_error(p, s);
    }
    if (cp.file_name && !(c->file_name = _kv_allocate_string(cp.file_name)))
        return api_error(p, kv_error_no_memory);
    if (int s = expect(p, '{'))
        return s;
    ClassBody body;
    body.cls = c;
    kv_domain_s *saved_target = p.target;
    p.target = c;
    kv_attribute_s *before = c->attributes;
    for (;;) {
        t = next_token(p);
        if (t == '}')
            break;
        if (!is_name(t))
            return unexpected(p, t, "unexpected token");
        int s = parse_declaration(p);
        if (s != not_a_declaration) {
            if (s)
                return s;
            continue;
        }
        if (keyword(p, "instance")) {
            if (int e = parse_instance_node(cp, body))
                return e;
            continue;
        }
        if (keyword(p, "class"))
            return fatal(p, kv_error_parse, "nested classes are not permitted");
        Name key = p.text;
        if (int e = expect(p, '='))
            return e;
        if (std::strcmp(key.data(), "node_size") == 0) {
            double w, h;
            if (int e = read_number_pair(p, w, h, true))
                return e;
            kv_class_set_node_size(c, truncated<size_t>(w, 0, SIZE_MAX), truncated<size_t>(h, 0, SIZE_MAX));
        } else if (std::strcmp(key.data(), "inputs") == 0 || std::strcmp(key.data(), "outputs") == 0) {
            bool inputs = key[0] == 'i';
            bool &seen = inputs ? body.has_inputs : body.has_outputs;
            if (seen)
                return fatal(p, kv_error_parse, "attribute `%s' defined twice", key.data());
            seen = true;
            if (int e = append_name(p, inputs ? body.inputs : body.outputs))
                return e;
        } else if (int e = user_attribute(p, &c->attributes, key)) {
            return e;
        }
        if (int e = expect(p, ';'))
            return e;
    }
    if (int s = class_create_input_bindings(p, body))
        return s;
    reverse_attributes(&c->attributes, before);
    reverse_lists(c);
    p.target = saved_target;
    return kv_error_none;
}

int parse_classes(ClassParse &cp)
{
    Parser &p = cp.p;
    for (;;) {
        int t = next_token(p);
        if (t == T_END)
            return kv_error_none;
        if (!is_name(t) || !keyword(p, "class"))
            return unexpected(p, t, "expected `class' keyword");
        if (int s = parse_class_body(cp))
            return s;
    }
}

// Deletes the classes from position `first' on, each once nothing
// instantiates it: 0, or error when some are still instantiated.
int delete_new_classes(kv_class_collection_s *cc, unsigned first)
{
    while (cc->count > first) {
        kv_domain_s *victim = nullptr;
        for (unsigned i = first; i < cc->count && !victim; ++i)
            if (!cc->members[i]->instances || !cc->members[i]->instances[0])
                victim = cc->members[i];
        if (!victim)
            return kv_error_error;
        kv_class_delete(victim);
    }
    return kv_error_none;
}

} // namespace

} // namespace kv

kv_status_t kv_net_parse_classes(kv_string_t file_name, kv_class_collection_t cc, kv_class_loader_t loader,
                                 kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!file_name || !cc))
        return kv_error_usage;
    FILE *f = std::fopen(file_name, "r");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    unsigned first = cc->count;
    int status = kv::guard_status([&]() -> int {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return kv_error_code();
        kv::Vec<char> text;
        if (!kv::read_stream(f, text))
            return _kv_set_error_code(kv_error_io);
        kv::Parser p;
        kv::start_parser(p, text.data(), text.size() - 1, true, handler, data);
        p.reader = kv::get_new_token;
        kv::ClassParse cp{p, cc, loader, file_name};
        int s = kv::parse_classes(cp);
        if (!s && p.error_count)
            s = kv_error_parse;
        return s;
    });
    if (std::fclose(f) != 0 && !status)
        status = kv_error_io;
    if (status) {
        kv::KeepError keep;
        if (kv::delete_new_classes(cc, first))
            status = kv_error_error;
        return _kv_set_error_code(status);
    }
    return _kv_set_error_code(kv_error_none);
}
