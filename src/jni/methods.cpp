// The native methods that do more than forward a call: peers, log files,
// node sizes and coordinates, parsing with Java receivers, table
// operations, lists and deletions that end a publication early.
#include <cfloat>
#include <cstdio>
#include <cstdlib>

#include "bridge.h"
#include "compile/compile.h"
#include "core/attribute.h"
#include "core/domain.h"
#include "core/error.h"
#include "core/memory.h"
#include "expr/expression.h"
#include "oobn/oobn.h"
#include "table/operations.h"
#include "table/table.h"

using namespace kv::jni;

// ---------------------------------------------------------------------------
// Peers.

// Replaces a peer slot: the new global reference first, then the old one
// goes.  A null peer clears the slot.
static jint replace_peer(JNIEnv *env, void **slot, jobject peer)
{
    jobject fresh = nullptr;
    if (peer) {
        fresh = env->NewGlobalRef(peer);
        if (!fresh)
            return _kv_set_error_code(kv_error_no_memory);
    }
    if (*slot)
        env->DeleteGlobalRef(static_cast<jobject>(*slot));
    *slot = fresh;
    return _kv_set_error_code(kv_error_none);
}

static jobject peer_of(JNIEnv *env, void *slot)
{
    return slot ? env->NewLocalRef(static_cast<jobject>(slot)) : nullptr;
}

// The domain or class form: the members string conversion and attribute
// release need are cached on the record, and a domain's peer gives its
// uncompile notice.
static jint set_domain_peer(JNIEnv *env, kv_domain_s *d, jobject peer)
{
    if (!d)
        return usage_status();
    if (!d->host_get_bytes_method) {
        jclass c = env->FindClass("java/lang/String");
        if (!c)
            env->ExceptionClear();
        jmethodID m = find_method(env, c, "getBytes", "()[B");
        if (c)
            env->DeleteLocalRef(c);
        if (!m)
            return _kv_set_error_code(kv_error_jni);
        d->host_get_bytes_method = m;
    }
    if (!d->host_attribute_peer_field) {
        jclass c = env->FindClass("COM/kelvo/KVAPI/Attribute");
        if (!c)
            env->ExceptionClear();
        jfieldID f = find_field(env, c, "attributePeer", KV_JNI_HANDLE_SIGNATURE);
        if (c)
            env->DeleteLocalRef(c);
        if (!f)
            return _kv_set_error_code(kv_error_jni);
        d->host_attribute_peer_field = f;
    }
    void *uncompile = nullptr;
    if (!d->class_collection && peer) {
        jclass c = env->GetObjectClass(peer);
        uncompile = find_method(env, c, "javaUnCompile", "()V");
        env->DeleteLocalRef(c);
        if (!uncompile)
            return _kv_set_error_code(kv_error_jni);
    }
    if (jint status = replace_peer(env, &d->host_object, peer))
        return status;
    d->host_uncompile_method = uncompile;
    return 0;
}

KV_JNI(jint, kvDomainSetBackpointer)(JNIEnv *env, jobject, jhandle d, jobject peer)
{
    return set_domain_peer(env, Handle{d}, peer);
}

KV_JNI(jint, kvClassSetBackpointer)(JNIEnv *env, jobject, jhandle c, jobject peer)
{
    return set_domain_peer(env, Handle{c}, peer);
}

// The other objects only keep the reference.
template <class T, class Slot> static jint set_peer(JNIEnv *env, jhandle h, Slot T::*slot, jobject peer)
{
    T *object = Handle{h};
    if (!object)
        return usage_status();
    return replace_peer(env, &(object->*slot), peer);
}

template <class T, class Slot> static jobject get_peer(JNIEnv *env, jhandle h, Slot T::*slot)
{
    T *object = Handle{h};
    if (_kv_set_error_code(!object))
        return nullptr;
    return peer_of(env, object->*slot);
}

#define KV_PEER_PAIR(Name, Type, member)                                                          \
    KV_JNI(jint, kv##Name##SetBackpointer)(JNIEnv * env, jobject, jhandle h, jobject peer)      \
    {                                                                                           \
        return set_peer(env, h, &Type::member, peer);                                          \
    }                                                                                           \
    KV_JNI(jobject, kv##Name##GetBackpointer)(JNIEnv * env, jobject, jhandle h)                 \
    {                                                                                           \
        return get_peer(env, h, &Type::member);                                                \
    }

KV_PEER_PAIR(Node, kv_node_s, host_object)
KV_PEER_PAIR(Clique, kv_clique_s, host_object)
KV_PEER_PAIR(JT, kv_junction_tree_s, host_object)
KV_PEER_PAIR(Model, kv_model_s, back_pointer)
KV_PEER_PAIR(Expression, kv_expression_s, back_pointer)
KV_PEER_PAIR(Attribute, kv_attribute_s, host_object)

KV_JNI(jobject, kvDomainGetBackpointer)(JNIEnv *env, jobject, jhandle h)
{
    return get_peer(env, h, &kv_domain_s::host_object);
}

KV_JNI(jobject, kvClassGetBackpointer)(JNIEnv *env, jobject, jhandle h)
{
    return get_peer(env, h, &kv_domain_s::host_object);
}

// ---------------------------------------------------------------------------
// Deletions: the deleted objects leave the publication before it ends.

KV_JNI(jint, kvDomainDelete)(JNIEnv *env, jobject, jhandle d)
{
    Publish publish{env, domain_of(d)};
    kv_status_t status = kv_domain_delete(Handle{d});
    if (status == 0)
        publish.forget_domain();
    return status;
}

KV_JNI(jint, kvClassDelete)(JNIEnv *env, jobject, jhandle c)
{
    // Every class of the collection is published; the end clears those left.
    Publish publish{env, domain_of(c)};
    return kv_class_delete(Handle{c});
}

KV_JNI(jint, kvCCDelete)(JNIEnv *env, jobject, jhandle cc)
{
    Publish publish{env, collection_of(cc)};
    kv_status_t status = kv_cc_delete(Handle{cc});
    if (status == 0)
        publish.forget_collection();
    return status;
}

KV_JNI(jint, kvCCAddDomain)(JNIEnv *env, jobject, jhandle cc, jhandle d)
{
    Publish publish{env, collection_of(cc)};
    publish.also(domain_of(d));
    return kv_cc_add_domain(Handle{cc}, Handle{d});
}

KV_JNI(jint, kvExpressionDelete)(JNIEnv *env, jobject, jhandle e)
{
    if (!e)
        return usage_status();
    Publish publish{env, static_cast<kv_domain_s *>(nullptr)};
    return kv_expression_delete(Handle{e});
}

// ---------------------------------------------------------------------------
// Log files.

static jint set_log_file(JNIEnv *env, kv_domain_s *d, jstring name, jboolean append)
{
    if (!d)
        return usage_status();
    StringCache cache{env, d};
    NativeString file_name{cache, name};
    if (!file_name)
        return status_failure();
    FILE *stream = nullptr;
    if (file_name.get()) {
        stream = std::fopen(file_name.get(), append ? "a" : "w");
        if (!stream)
            return _kv_set_error_code(kv_error_io);
        if (std::setvbuf(stream, nullptr, _IOLBF, 8192) != 0) {
            std::fclose(stream);
            return _kv_set_error_code(kv_error_io);
        }
    }
    FILE *previous = d->log_file;
    if (previous && std::fclose(previous) != 0) {
        // The previous stream is gone either way; so is the new one.
        if (stream)
            std::fclose(stream);
        d->log_file = nullptr;
        return _kv_set_error_code(kv_error_io);
    }
    d->log_file = nullptr;
    return kv_domain_set_log_file(d, stream);
}

KV_JNI(jint, kvDomainSetLogFile)(JNIEnv *env, jobject, jhandle d, jstring name, jboolean append)
{
    return set_log_file(env, Handle{d}, name, append);
}

KV_JNI(jint, kvClassSetLogFile)(JNIEnv *env, jobject, jhandle c, jstring name, jboolean append)
{
    return set_log_file(env, Handle{c}, name, append);
}

// ---------------------------------------------------------------------------
// Sizes and coordinates: one number of a pair, or -1.

static jint size_part(kv_status_t (*get)(kv_domain_s *, size_t *, size_t *), jhandle d, bool width)
{
    size_t w = 0, h = 0;
    if (get(Handle{d}, &w, &h) != 0)
        return -1;
    return static_cast<jint>(width ? w : h);
}

KV_JNI(jint, kvDomainGetNodeWidth)(JNIEnv *, jobject, jhandle d)
{
    return size_part(kv_domain_get_node_size, d, true);
}

KV_JNI(jint, kvDomainGetNodeHeight)(JNIEnv *, jobject, jhandle d)
{
    return size_part(kv_domain_get_node_size, d, false);
}

KV_JNI(jint, kvClassGetNodeWidth)(JNIEnv *, jobject, jhandle c)
{
    return size_part(kv_class_get_node_size, c, true);
}

KV_JNI(jint, kvClassGetNodeHeight)(JNIEnv *, jobject, jhandle c)
{
    return size_part(kv_class_get_node_size, c, false);
}

static jint coordinate(jhandle n, bool x_wanted)
{
    int x = 0, y = 0;
    if (kv_node_get_position(Handle{n}, &x, &y) != 0)
        return -1;
    return x_wanted ? x : y;
}

KV_JNI(jint, kvNodeGetXCoordinate)(JNIEnv *, jobject, jhandle n)
{
    return coordinate(n, true);
}

KV_JNI(jint, kvNodeGetYCoordinate)(JNIEnv *, jobject, jhandle n)
{
    return coordinate(n, false);
}

// ---------------------------------------------------------------------------
// Tables.

KV_JNI(jhandle, kvTableGetMarginal)(JNIEnv *, jobject, jhandle table, jhandle list, jint equilibrium)
{
    kv_table_s *t = Handle{table};
    kv_node_s **nodes = Handle{list};
    if (!t || !nodes || (equilibrium != kv_equilibrium_sum && equilibrium != kv_equilibrium_max))
        return usage_handle();
    for (kv_node_s **a = nodes; *a; ++a) {
        bool in_table = false;
        for (size_t i = 0; i < t->discrete_count + t->continuous_count && !in_table; ++i)
            in_table = t->nodes[i] == *a;
        if (!in_table)
            return usage_handle();
        for (kv_node_s **b = nodes; b != a; ++b)
            if (*b == *a)
                return usage_handle();
    }
    return to_handle(_kv_table_get_marginal(t, nodes, equilibrium, kv_mode_normal, 0));
}

KV_JNI(jint, kvTableMultiply)(JNIEnv *, jobject, jhandle big, jhandle small)
{
    if (!big || !small)
        return usage_status();
    return _kv_set_error_code(_kv_combine_tables(Handle{big}, Handle{small}));
}

KV_JNI(jint, kvTableDivide)(JNIEnv *, jobject, jhandle big, jhandle small)
{
    if (!big || !small)
        return usage_status();
    return _kv_set_error_code(_kv_divide_tables(Handle{big}, Handle{small}));
}

// ---------------------------------------------------------------------------
// Lists: arrays of pointer-sized slots, or of doubles.  The caller keeps the
// index within the list; a null list is refused rather than read.

KV_JNI(jhandle, kvNewList)(JNIEnv *, jobject, jint n)
{
    void **list = kv::allocate_array<void *>(static_cast<size_t>(n));
    if (list)
        _kv_set_error_code(kv_error_none);
    return to_handle(list);
}

KV_JNI(jhandle, kvListGetItem)(JNIEnv *, jobject, jhandle list, jint i)
{
    void **slots = Handle{list};
    if (!slots)
        return usage_handle();
    return to_handle(slots[i]);
}

KV_JNI(jhandle, kvListSetItem)(JNIEnv *, jobject, jhandle list, jint i, jhandle item)
{
    void **slots = Handle{list};
    if (!slots)
        return usage_handle();
    slots[i] = Handle{item};
    return list;
}

KV_JNI(void, kvListDelete)(JNIEnv *, jobject, jhandle list)
{
    std::free(Handle{list});
}

KV_JNI(jdouble, kvNumberListGetItem)(JNIEnv *, jobject, jhandle list, jint i)
{
    double *numbers = Handle{list};
    if (!numbers)
        return usage_number();
    return numbers[i];
}

KV_JNI(void, kvNumberListSetItem)(JNIEnv *, jobject, jhandle list, jint i, jdouble x)
{
    double *numbers = Handle{list};
    if (!numbers) {
        _kv_set_error_code(kv_error_usage);
        return;
    }
    numbers[i] = x;
}

// ---------------------------------------------------------------------------
// The rest.

KV_JNI(jdouble, kvINFINITY)(JNIEnv *, jobject)
{
    return DBL_MAX; // Java callers take the largest finite double for infinity
}

KV_JNI(jint, kvSetUpAndRunning)(JNIEnv *, jobject)
{
    return -1;
}

KV_JNI(jint, kvSetNotRunning)(JNIEnv *, jobject)
{
    return -1;
}

KV_JNI(jdouble, kvDomainCountCases)(JNIEnv *, jobject, jhandle domain)
{
    kv_domain_s *d = Handle{domain};
    size_t n = kv_domain_get_number_of_cases(d);
    if (n == static_cast<size_t>(-1))
        return -1.0;
    double total = 0;
    for (size_t i = 0; i < n; ++i)
        total += kv_domain_get_case_count(d, i);
    _kv_set_error_code(kv_error_none);
    return total;
}

KV_JNI(jstring, kvExpressionToString)(JNIEnv *env, jobject, jhandle e)
{
    char *text = kv_expression_to_string(Handle{e});
    if (!text)
        return nullptr;
    jstring s = to_jstring(env, text);
    std::free(text);
    return s;
}
