// Domains: creation, deletion, the log stream, and the simple domain-wide
// accessors.  Classes share all of this through the same record.
#include "domain.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "api.h"
#include "attribute.h"
#include "host.h"
#include "chain_block.h"
#include "memory.h"
#include "table/control.h"
#include "table/table.h"
#include "compile/compile.h"
#include "learn/learn.h"
#include "learn/structure.h"
#include "oobn/oobn.h"

kv_domain_t kv_new_domain(void)
{
    kv_domain_s *d = static_cast<kv_domain_s *>(_kv_allocate(sizeof(kv_domain_s)));
    if (!d)
        return nullptr;
    std::memset(d, 0, sizeof *d);
    d->grain_size = 10000;
    d->concurrency_level = 1;
    d->max_number_of_separators = 0;
    d->significance_level = 0.05;
    d->log_likelihood_tolerance = 0.0001;
    d->random_seed = 310952;
    return d;
}

kv_status_t kv_domain_delete(kv_domain_t d)
{
    // A class goes with kv_class_delete, which keeps its collection whole.
    if (_kv_set_error_code(!d || _kv_domain_is_class(d)))
        return kv_error_usage;
    _kv_free_domain(d);
    return kv_error_none;
}

void _kv_free_domain(kv_domain_s *d)
{
    _kv_uncompile_domain_safely(d, 1);
    _kv_discard_structure_learning(d);
    std::free(d->file_name);
    // Every node goes, so links between nodes need no one-by-one update.
    for (kv_node_s *n = d->first_node, *next; n; n = next) {
        next = n->next;
        _kv_free_node_record(n);
    }
    _kv_free_name_index(d);
    _kv_free_domain_chain_blocks(d);
    _kv_free_domain_controls(d);
    _kv_free_domain_tables(d);
    std::free(d->scratch_buffer);
    _kv_free_domain_cases(d);
    _kv_free_attribute_list(d, d->attributes);
    std::free(d->class_name);
    std::free(d->inputs);
    std::free(d->outputs);
    std::free(d->instances);
    if (d->log_file)
        std::fclose(d->log_file);
    std::free(d->random);
    _kv_host_release_peer(d, d->host_object);
    std::free(d);
}

kv_status_t kv_domain_set_log_file(kv_domain_t d, FILE *log_file)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    d->log_file = log_file;
    return kv_error_none;
}

kv_status_t kv_class_set_log_file(kv_class_t c, FILE *log_file)
{
    return kv_domain_set_log_file(c, log_file);
}

int _kv_domain_flush_log_file(kv_domain_s *d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    if (d->log_file && std::fflush(d->log_file) != 0)
        return _kv_set_error_code(kv_error_io);
    return kv_error_none;
}

int _kv_log(kv_domain_s *d, const char *format, ...)
{
    if (!d->log_file)
        return kv_error_none;
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(d->log_file, format, args);
    va_end(args);
    return written < 0 ? _kv_set_error_code(kv_error_io) : kv_error_none;
}

const char *_kv_print_size(kv_domain_s *d, size_t size)
{
    if (size == SIZE_MAX)
        return "HUGE";
    char *buffer = d->size_print_ring[d->size_print_next];
    d->size_print_next = (d->size_print_next + 1) % 8;
    std::snprintf(buffer, sizeof d->size_print_ring[0], "%ju", static_cast<uintmax_t>(size));
    return buffer;
}

kv_string_t kv_domain_get_file_name(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return nullptr;
    return d->file_name;
}

kv_string_t kv_domain_get_filename(kv_domain_t d)
{
    return kv_domain_get_file_name(d);
}

kv_string_t kv_class_get_file_name(kv_class_t c)
{
    return kv_domain_get_file_name(c);
}

kv_status_t kv_domain_set_node_size(kv_domain_t d, size_t width, size_t height)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    d->node_width = width;
    d->node_height = height;
    return kv_error_none;
}

kv_status_t kv_domain_get_node_size(kv_domain_t d, size_t *width, size_t *height)
{
    if (_kv_set_error_code(!d || !width || !height || width == height))
        return kv_error_usage;
    *width = d->node_width;
    *height = d->node_height;
    return kv_error_none;
}

kv_status_t kv_class_set_node_size(kv_class_t c, size_t width, size_t height)
{
    return kv_domain_set_node_size(c, width, height);
}

kv_status_t kv_class_get_node_size(kv_class_t c, size_t *width, size_t *height)
{
    return kv_domain_get_node_size(c, width, height);
}

static kv_count_t count_of(kv_domain_t d, size_t kv_domain_s::*field)
{
    if (_kv_set_error_code(!d))
        return static_cast<kv_count_t>(-1);
    return d->*field;
}

kv_count_t kv_domain_get_number_of_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_nodes);
}

kv_count_t kv_domain_get_number_of_discrete_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_discrete_nodes);
}

kv_count_t kv_domain_get_number_of_continuous_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_continuous_nodes);
}

kv_count_t kv_domain_get_number_of_chance_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_chance_nodes);
}

kv_count_t kv_domain_get_number_of_decision_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_decision_nodes);
}

kv_count_t kv_domain_get_number_of_utility_nodes(kv_domain_t d)
{
    return count_of(d, &kv_domain_s::number_of_utility_nodes);
}

kv_node_t kv_domain_get_first_node(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return nullptr;
    return d->first_node;
}

kv_node_t kv_class_get_first_node(kv_class_t c)
{
    return kv_domain_get_first_node(c);
}

kv_status_t kv_domain_set_user_data(kv_domain_t d, void *data)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    d->user_data = data;
    return kv_error_none;
}

void *kv_domain_get_user_data(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return nullptr;
    return d->user_data;
}

kv_status_t kv_class_set_user_data(kv_class_t c, void *data)
{
    return kv_domain_set_user_data(c, data);
}

void *kv_class_get_user_data(kv_class_t c)
{
    return kv_domain_get_user_data(c);
}
