// What the case-file reader and writer agree on: which state a label, an
// index or a number names.
#pragma once

#include <cstddef>

#include "core/domain.h"

namespace kv {

// The state a number names, for a node whose values increase: for a
// number node the first state within 1e-10 of v relative to v; for an
// interval node the state whose interval [lower, upper) holds v.  -1 when
// there is none.
long number_state(const kv_node_s *n, double v);

// The label of state s; "" for a state without one.
const char *label_of(const kv_node_s *n, size_t s);

// The state of a label node with that label (a missing label is ""): -1
// when none has it, -2 when several do.
long label_state(const kv_node_s *n, const char *label);

} // namespace kv
