// Expressions: small immutable trees shared by reference count between
// composites and model slots.
#pragma once

#include <cstdint>
#include <string>

#include "core/domain.h"

// Expression types.
constexpr uint32_t KV_TYPE_NUMERIC = 0;
constexpr uint32_t KV_TYPE_BOOLEAN = 1;
constexpr uint32_t KV_TYPE_LABEL = 2;
constexpr uint32_t KV_TYPE_DISTRIBUTION = 3;
constexpr uint32_t KV_TYPE_NODE = 4; // a node leaf before type checking
constexpr uint32_t KV_TYPE_NUMERIC_NODE = 5;
constexpr uint32_t KV_TYPE_BOOLEAN_NODE = 6;
constexpr uint32_t KV_TYPE_LABEL_NODE = 7;

struct kv_expression_s {
    uint32_t op;
    uint32_t type;
    uint32_t reference_count;
    union {
        double number;
        char *label;
        kv_node_s *node;
        int boolean;
        kv_expression_s **operands;
    } payload;
    void *back_pointer;
};

struct kv_model_s {
    kv_node_s **nodes;
    kv_expression_s **expressions; // size slots, allocated on first use
    size_t size;
    kv_node_s *owner;
    int touched;
    size_t samples_per_interval;
    void *back_pointer;
    void *user_data;
};

// Drops one reference and frees the expression when none is left.
void _kv_expr_decrement_ref_count_and_free(kv_expression_s *e);
// Resolves node leaves and `if' types: 0 or invalid_expression (error for a
// node of no known subtype).
int _kv_type_check_expression(kv_expression_s *e);
// Type check, then the fit of the expression's type to the node.
int _kv_node_check_expression(const kv_node_s *n, kv_expression_s *e);
// True when a node leaf anywhere in e refers to node.
bool _kv_expression_mentions(const kv_expression_s *e, const kv_node_s *node);
// The name of an operator as expressions print it ("Normal", "+", ...).
const char *_kv_operator_name(uint32_t op);
namespace kv {
struct Parser;
// One expression from the parser's input, for the NET grammar's model data;
// NULL with the parser's status set on failure.
kv_expression_s *parse_one_expression(Parser &p);
} // namespace kv
// Parses text (with the expression token reader) in the context of a node
// container; NULL with syntax (or the constructor's code) on failure.
kv_expression_s *_kv_parse_expression(kv_domain_s *container, const char *text,
                                      kv_error_handler_t handler, void *data);
// Generates the tables of the tree's nodes whose models are touched: 0, or
// the first failure's code.
int _kv_jt_generate_tables(kv_junction_tree_s *jt);
// Deletes a model and detaches it from its owner.
void _kv_free_model(kv_model_s *m);
// Called when node stops being a parent of the model's owner.
void _kv_model_remove_node(kv_model_s *m, kv_node_s *node);
// Sets the touched flag of the node's model, if it has one.
void _kv_node_touch_model(kv_node_s *n);
// Touches the models of the node and of its children.
void _kv_node_touch_all_models(kv_node_s *n);
// After a change of the node's number of states: the models of the node
// and of its children whose slots are numbered over it lose their slots,
// and all of them are touched.
void _kv_node_resize_models(kv_node_s *n);
// The model's owner takes new_node as a parent in old_node's place: the
// node list and every slot that mentions old_node get new_node instead.
// 0, or no_memory with the model as it was.
int _kv_model_replace_node(kv_model_s *m, kv_node_s *old_node, kv_node_s *new_node);
// e with every leaf of old_node made a leaf of new_node; subtrees without
// old_node are shared.  e itself when it does not mention old_node; a new
// expression (no reference taken) otherwise, or NULL with no_memory.
kv_expression_s *_kv_expression_substitute(kv_expression_s *e, const kv_node_s *old_node,
                                           kv_node_s *new_node);
// A copy of e sharing nothing with it, with every node leaf's node replaced
// by map(node, data); NULL with no_memory.  The copy has no references yet.
kv_expression_s *_kv_expression_remap(const kv_expression_s *e,
                                     kv_node_s *(*map)(const kv_node_s *, void *), void *data);
// Appends the text form with numbers that read back exactly (the NET
// writer's form); the caller selects the C locale.
void _kv_write_expression(std::string &out, const kv_expression_s *e);
// False when a number in e is infinite or not a number.
bool _kv_expression_is_finite(const kv_expression_s *e);
