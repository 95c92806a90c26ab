// Error codes: the table of names and descriptions, and the per-thread slot
// that holds the last error of each thread.
#include "error.h"

namespace {

struct ErrorRow {
    int code;
    const char *name;
    const char *description;
};

const char no_such_name[] = "no_such_error";
const char no_such_description[] = "No such error.";

// Row n holds code n.  Codes 42 to 44 are never set; they read as unknown.
constexpr ErrorRow error_text[47] = {
    {0, "none", "The most recent call to a Kelvo API function was successful (or no function has been called)."},
    {1, "usage", "An API function was called with an invalid argument (e.g., a NULL object was passed to a function that expects a non-NULL argument)."},
    {2, "io", "A fatal error occurred during an input or output operation.  This could be a failure to open a specified file, a failure to create a file due to wrong permissions, a failure during a write operation due to the disk running full, etc."},
    {3, "no_memory", "Kelvo ran out of memory while carrying out some operation."},
    {4, "cg_influence_diagrams_not_supported", "Influence diagrams with CG nodes are not supported."},
    {5, "twice", "An attempt has been made to assign a name that is already in use to a node or a class."},
    {6, "invalid_name", "Names used for classes, nodes, and attributes must have the same form as a C identifier."},
    {7, "cyclic_network", "A cycle has been detected in the network of the domain"},
    {8, "size_too_large", "The true size is too large to represent within type `size_t'."},
    {9, "fast_retraction", "Logical relations in the distribution has caused a fast-retraction propagation to fail"},
    {10, "rounding", "Possibly significant floating-point rounding error detected."},
    {11, "invalid_password", "The supplied password does not match the password stored in the Kelvo KB file."},
    {12, "bad_file", "An attempt to load a domain failed due to a bad file.  The file was probably not a knowledge base file.  Knowledge base files have a header with a magic number, i.e., a two-byte code that identifies the file as a knowledge base file.  This error code will be given if the magic number was incorrect or not present."},
    {13, "bad_version", "Kelvo Knowledge Base files have a header that includes a version number identifying the version of the Kelvo API used to create the file.  This error code is given if an attempt is made to a knowledge base incompatible with the current version of the Kelvo API.  To recover from this error, the domain must be recompiled with the current version of the Kelvo system."},
    {14, "format", "Some data item had a bad format.  This could happen while reading a domain if the knowledge base file has been corrupted or otherwise has an invalid format."},
    {15, "not_compiled", "The operation requires a compiled domain."},
    {16, "zero_sum", "A zero sum was found in a conditional probability potential."},
    {17, "negative_probability", "A negative probability was found in a conditional probability or a chain graph potential."},
    {18, "chain_graph", "Chain graph: Zero probability found in parent potential."},
    {19, "enumeration", "The specified elimination sequence is invalid.  Possible causes: it contains a utility node, a node appears twice, the nodes are `out-of-order', or the sequence is incomplete."},
    {20, "decision_order", "The set of decisions in an influence diagram must be linearly ordered (i.e., there must exist a path containing all decisions)."},
    {21, "no_equilibrium", "The junction tree potentials are inconsistent."},
    {22, "inconsistency_or_underflow", "Propagation of inconsistent evidence has been attempted, or underflow has occurred"},
    {23, "overflow", "Overflow occurred during propagation"},
    {24, "low_density", "The density of the evidence presented is too low to represent as a positive floating-point number"},
    {25, "zero_variance", "Zero variance detected during a conditioning operation."},
    {26, "cg_evidence_incorporated", "This operation is not supported when the junction tree potentials have CG evidence incorporated."},
    {27, "normalization", "Normalization with a zero normalization constant has been attempted."},
    {28, "compressed", "The operation is not supported on compressed domains."},
    {29, "table_too_large", "The compressed version of some non-clique table is too large"},
    {30, "no_value", "No value has been specified (or the specified value has become invalid)."},
    {31, "parse", "An error occurred during parsing.  If a parse error handling function was specified, it will have been called with a description of the error and its location in the source."},
    {32, "locale", "The Kelvo API could not establish the C locale!"},
    {33, "invalid_expression", "The supplied expression is invalid (e.g., wrong type)."},
    {34, "syntax", "A syntax error has been detected while parsing an expression."},
    {35, "division_by_zero", "Division by zero has been attempted."},
    {36, "inappropriate_arguments", "Illegal arguments have been given to a standard mathematical or probability/density function."},
    {37, "computation_failed", "The probability/density function could not be computed."},
    {38, "insufficient_state_range", "The state range of the node is insufficient for the chosen standard distribution."},
    {39, "invalid_state_values", "The state values of a numeric node do not form an increasing sequence."},
    {40, "cyclic_instance_hierarchy", "Cyclic hierarchies of class instances are not allowed."},
    {41, "illegal_binding", "An actual input node is incompatible with the formal input node, or there are multiple occurrences of the same parent."},
    {42, no_such_name, no_such_description},
    {43, no_such_name, no_such_description},
    {44, no_such_name, no_such_description},
    {45, "jni", "A JNI function has thrown an exception."},
    {46, "error", "This is an \"impossible\" error.  It should never occur.  It might be caused by an error in the Kelvo API."},
};

static_assert(error_text[46].code == 46 && error_text[45].code == 45);

// A thread-local pointer cannot fail to exist, so the "no per-thread storage"
// branch of the error protocol never arises here.  Empty means "no call yet".
thread_local const ErrorRow *error_slot = nullptr;

} // namespace

int _kv_set_error_code(int code)
{
    error_slot = &error_text[code];
    return code;
}

kv_error_t kv_error_code(void)
{
    if (!error_slot)
        error_slot = &error_text[0];
    return static_cast<kv_error_t>(error_slot->code);
}

kv_string_t kv_error_name(kv_error_t code)
{
    unsigned c = static_cast<unsigned>(code);
    return c > 46 ? no_such_name : error_text[c].name;
}

kv_string_t kv_error_description(kv_error_t code)
{
    unsigned c = static_cast<unsigned>(code);
    return c > 46 ? no_such_description : error_text[c].description;
}
