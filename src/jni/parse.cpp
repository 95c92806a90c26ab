// Parsing from Java: parse errors go to the receiver's parseError(int,
// String) and class-load requests to its insertClass(String,
// ClassCollection).  A Java exception left pending by a receiver stops
// further deliveries and turns a successful parse into a failure with jni;
// what the parse made is released again.
#include <cstdlib>

#include "bridge.h"
#include "core/domain.h"
#include "core/error.h"
#include "oobn/oobn.h"

using namespace kv::jni;

namespace {

struct ParseContext {
    JNIEnv *env;
    jobject receiver;
    jobject collection_peer; // class parsing only
    jmethodID parse_error = nullptr;
    jmethodID insert_class = nullptr;
    unsigned class_count = 0;
};

// Steps shared by both callbacks: nothing without a receiver or while an
// exception is pending; the method is looked up once on the receiver.
jmethodID receiver_method(ParseContext &c, jmethodID &cached, const char *name, const char *signature)
{
    if (!c.receiver || c.env->ExceptionCheck() || c.env->EnsureLocalCapacity(1) != 0)
        return nullptr;
    if (!cached) {
        jclass k = c.env->GetObjectClass(c.receiver);
        cached = find_method(c.env, k, name, signature);
        c.env->DeleteLocalRef(k);
    }
    return cached;
}

void parse_error(size_t line, kv_string_t message, void *data)
{
    auto &c = *static_cast<ParseContext *>(data);
    jmethodID m = receiver_method(c, c.parse_error, "parseError", "(ILjava/lang/String;)V");
    if (!m)
        return;
    jstring text = c.env->NewStringUTF(message);
    if (!text) {
        c.env->ExceptionClear(); // no delivery, and no Java failure of the parse
        return;
    }
    c.env->CallVoidMethod(c.receiver, m, static_cast<jint>(line), text);
    c.env->DeleteLocalRef(text);
}

void insert_class(kv_string_t name, kv_class_collection_t, void *data)
{
    auto &c = *static_cast<ParseContext *>(data);
    jmethodID m = receiver_method(c, c.insert_class, "insertClass",
                                  "(Ljava/lang/String;LCOM/kelvo/KVAPI/ClassCollection;)V");
    if (!m)
        return;
    jstring text = c.env->NewStringUTF(name);
    if (!text) {
        c.env->ExceptionClear();
        return;
    }
    c.env->CallVoidMethod(c.receiver, m, text, c.collection_peer);
    c.env->DeleteLocalRef(text);
}

} // namespace

KV_JNI(jhandle, kvNetParseDomain)(JNIEnv *env, jobject, jstring file, jobject receiver)
{
    StringCache cache{env, nullptr};
    NativeString name{cache, file};
    if (!name)
        return 0;
    ParseContext c{env, receiver, nullptr};
    kv_domain_t d = kv_net_parse_domain(name.get(), parse_error, &c);
    if (d && env->ExceptionCheck()) {
        Publish publish{env, d};
        kv_domain_delete(d);
        publish.forget_domain();
        _kv_set_error_code(kv_error_jni);
        return 0;
    }
    return to_handle(d);
}

// Deletes the classes a parse added: each time the first one, at or after
// the recorded position, that has no instances.  jni, or error when the
// added classes cannot all go.
static int delete_added_classes(kv_class_collection_s *cc, unsigned first)
{
    while (cc->count > first) {
        kv_domain_s *victim = nullptr;
        for (unsigned i = first; i < cc->count && !victim; ++i) {
            kv_domain_s *k = cc->members[i];
            if (!k->instances || !k->instances[0])
                victim = k;
        }
        if (!victim)
            return kv_error_error;
        kv_class_delete(victim);
    }
    return kv_error_jni;
}

KV_JNI(jint, kvNetParseClasses)(JNIEnv *env, jobject, jstring file, jhandle collection, jobject collection_peer,
                                jobject receiver)
{
    StringCache cache{env, nullptr};
    NativeString name{cache, file};
    if (!name)
        return status_failure();
    kv_class_collection_s *cc = Handle{collection};
    ParseContext c{env, receiver, collection_peer};
    c.class_count = cc ? cc->count : 0;
    kv_status_t status = kv_net_parse_classes(name.get(), cc, insert_class, parse_error, &c);
    if (status != 0 || !env->ExceptionCheck())
        return status;
    Publish publish{env, cc};
    return _kv_set_error_code(delete_added_classes(cc, c.class_count));
}

// The node-list parsers of domains and classes.
static jhandle parse_nodes(JNIEnv *env, jhandle object, jstring file, jobject receiver,
                           kv_node_t *(*parse)(kv_domain_t, kv_string_t, kv_error_handler_t, void *))
{
    kv_domain_s *d = Handle{object};
    if (!d)
        return usage_handle();
    StringCache cache{env, d};
    NativeString name{cache, file};
    if (!name)
        return 0;
    ParseContext c{env, receiver, nullptr};
    kv_node_t *list = parse(d, name.get(), parse_error, &c);
    if (list && env->ExceptionCheck()) {
        std::free(list);
        _kv_set_error_code(kv_error_jni);
        return 0;
    }
    return to_handle(list);
}

KV_JNI(jhandle, kvDomainParseNodes)(JNIEnv *env, jobject, jhandle d, jstring file, jobject receiver)
{
    return parse_nodes(env, d, file, receiver, kv_domain_parse_nodes);
}

KV_JNI(jhandle, kvClassParseNodes)(JNIEnv *env, jobject, jhandle c, jstring file, jobject receiver)
{
    return parse_nodes(env, c, file, receiver, kv_class_parse_nodes);
}

static jint parse_case_file(JNIEnv *env, jhandle domain, jstring file, jobject receiver,
                            kv_status_t (*parse)(kv_domain_t, kv_string_t, kv_error_handler_t, void *))
{
    kv_domain_s *d = Handle{domain};
    if (!d)
        return usage_status();
    StringCache cache{env, d};
    NativeString name{cache, file};
    if (!name)
        return status_failure();
    ParseContext c{env, receiver, nullptr};
    kv_status_t status = parse(d, name.get(), parse_error, &c);
    if (status != 0)
        return status;
    if (env->ExceptionCheck())
        return _kv_set_error_code(kv_error_jni);
    return 0;
}

KV_JNI(jint, kvDomainParseCase)(JNIEnv *env, jobject, jhandle d, jstring file, jobject receiver)
{
    return parse_case_file(env, d, file, receiver, kv_domain_parse_case);
}

KV_JNI(jint, kvDomainParseCases)(JNIEnv *env, jobject, jhandle d, jstring file, jobject receiver)
{
    return parse_case_file(env, d, file, receiver, kv_domain_parse_cases);
}

// Expressions parsed in the scope of a domain or class.
static jhandle parse_expression(JNIEnv *env, kv_domain_s *d, jstring text, jobject receiver)
{
    if (!d)
        return usage_handle();
    StringCache cache{env, d};
    NativeString source{cache, text};
    if (!source)
        return 0;
    ParseContext c{env, receiver, nullptr};
    kv_expression_t e = kv_domain_string_to_expression(d, source.get(), parse_error, &c);
    if (e && env->ExceptionCheck()) {
        Publish publish{env, static_cast<kv_domain_s *>(nullptr)};
        kv_expression_delete(e);
        _kv_set_error_code(kv_error_jni);
        return 0;
    }
    return to_handle(e);
}

KV_JNI(jhandle, kvDomainStringToExpression)(JNIEnv *env, jobject, jhandle d, jstring text, jobject receiver)
{
    return parse_expression(env, domain_of(d), text, receiver);
}

KV_JNI(jhandle, kvClassStringToExpression)(JNIEnv *env, jobject, jhandle c, jstring text, jobject receiver)
{
    return parse_expression(env, domain_of(c), text, receiver);
}

KV_JNI(jhandle, kvStringParseExpression)(JNIEnv *env, jobject, jhandle model, jstring text, jobject receiver)
{
    return parse_expression(env, model_home(model), text, receiver);
}
