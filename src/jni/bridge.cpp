// The bridge's conversions, the publication of the Java environment, and
// the core's calls into Java: the uncompile notice and the release of the
// peers of objects the core frees.
#include "bridge.h"

#include <cstdlib>
#include <cstring>

#include "compile/compile.h"
#include "core/attribute.h"
#include "core/domain.h"
#include "core/error.h"
#include "core/host.h"
#include "core/memory.h"
#include "expr/expression.h"
#include "oobn/oobn.h"
#include "table/table.h"

namespace kv::jni {

static thread_local JNIEnv *current = nullptr;

JNIEnv *current_environment()
{
    return current;
}

jint status_failure()
{
    return kv_error_code();
}

jint usage_status()
{
    return _kv_set_error_code(kv_error_usage);
}

jhandle usage_handle()
{
    _kv_set_error_code(kv_error_usage);
    return 0;
}

jdouble usage_number()
{
    _kv_set_error_code(kv_error_usage);
    return -1.0;
}

jboolean usage_flag()
{
    _kv_set_error_code(kv_error_usage);
    return JNI_FALSE;
}

jstring usage_string()
{
    _kv_set_error_code(kv_error_usage);
    return nullptr;
}

kv_domain_s *domain_of(jhandle d)
{
    return Handle{d};
}

kv_domain_s *node_home(jhandle node)
{
    kv_node_s *n = Handle{node};
    return n ? n->home : nullptr;
}

kv_domain_s *model_home(jhandle model)
{
    kv_model_s *m = Handle{model};
    return m && m->owner ? m->owner->home : nullptr;
}

kv_domain_s *table_home(jhandle table)
{
    kv_table_s *t = Handle{table};
    return t ? t->domain : nullptr;
}

kv_class_collection_s *collection_of(jhandle cc)
{
    return Handle{cc};
}

jmethodID find_method(JNIEnv *env, jclass c, const char *name, const char *signature)
{
    jmethodID m = c ? env->GetMethodID(c, name, signature) : nullptr;
    if (!m && env->ExceptionCheck())
        env->ExceptionClear();
    return m;
}

jfieldID find_field(JNIEnv *env, jclass c, const char *name, const char *signature)
{
    jfieldID f = c ? env->GetFieldID(c, name, signature) : nullptr;
    if (!f && env->ExceptionCheck())
        env->ExceptionClear();
    return f;
}

jmethodID StringCache::method()
{
    if (looked_up_)
        return method_;
    looked_up_ = true;
    if (owner_) {
        method_ = static_cast<jmethodID>(owner_->host_get_bytes_method);
        if (!method_) {
            if (jclass e = env_->FindClass("java/lang/Exception")) {
                env_->ThrowNew(e, "get_bytes method not cached");
                env_->DeleteLocalRef(e);
            }
            _kv_set_error_code(kv_error_jni);
        }
        return method_;
    }
    if (env_->EnsureLocalCapacity(2) != 0) {
        _kv_set_error_code(kv_error_jni);
        return nullptr;
    }
    jclass string_class = env_->FindClass("java/lang/String");
    if (!string_class) {
        env_->ExceptionClear();
        _kv_set_error_code(kv_error_jni);
        return nullptr;
    }
    method_ = find_method(env_, string_class, "getBytes", "()[B");
    env_->DeleteLocalRef(string_class);
    if (!method_)
        _kv_set_error_code(kv_error_jni);
    return method_;
}

NativeString::NativeString(StringCache &cache, jstring s)
{
    if (!s)
        return;
    JNIEnv *env = cache.env();
    jmethodID get_bytes = cache.method();
    if (!get_bytes) {
        ok_ = false;
        return;
    }
    auto bytes = static_cast<jbyteArray>(env->CallObjectMethod(s, get_bytes));
    if (env->ExceptionCheck() || !bytes) {
        if (bytes)
            env->DeleteLocalRef(bytes);
        _kv_set_error_code(kv_error_jni);
        ok_ = false;
        return;
    }
    jsize length = env->GetArrayLength(bytes);
    text_ = static_cast<char *>(_kv_allocate(_kv_size_add(static_cast<size_t>(length), 1)));
    if (!text_) {
        env->DeleteLocalRef(bytes);
        ok_ = false; // _kv_allocate set no_memory
        return;
    }
    env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte *>(text_));
    text_[length] = '\0';
    env->DeleteLocalRef(bytes);
}

NativeString::~NativeString()
{
    std::free(text_);
}

jstring to_jstring(JNIEnv *env, const char *s)
{
    if (!s)
        return nullptr;
    jstring j = env->NewStringUTF(s);
    if (!j)
        _kv_set_error_code(kv_error_jni);
    return j;
}

Publish::Publish(JNIEnv *env, kv_domain_s *d) : env_(env), previous_current_(current)
{
    current = env;
    if (d && d->class_collection) {
        collection_ = d->class_collection;
        kv_domain_s **first = collection_->members;
        previous_collection_ = first && *first ? (*first)->host_environment : nullptr;
        set_collection(env);
    } else if (d) {
        domain_ = d;
        previous_domain_ = d->host_environment;
        d->host_environment = env;
    }
}

Publish::Publish(JNIEnv *env, kv_class_collection_s *cc)
    : env_(env), previous_current_(current), collection_(cc)
{
    current = env;
    if (collection_) {
        kv_domain_s **first = collection_->members;
        previous_collection_ = first && *first ? (*first)->host_environment : nullptr;
        set_collection(env);
    }
}

void Publish::also(kv_domain_s *d)
{
    extra_ = d;
    if (d) {
        previous_extra_ = d->host_environment;
        d->host_environment = env_;
    }
}

void Publish::set_collection(void *value)
{
    // Every class of a collection is published together, so one previous
    // value stands for all of them.
    for (kv_domain_s **c = collection_->members; c && *c; ++c)
        (*c)->host_environment = value;
}

Publish::~Publish()
{
    if (domain_)
        domain_->host_environment = previous_domain_;
    if (extra_)
        extra_->host_environment = previous_extra_;
    if (collection_)
        set_collection(previous_collection_);
    current = previous_current_;
}

} // namespace kv::jni

using namespace kv::jni;

static JNIEnv *environment_for(kv_domain_s *owner)
{
    if (owner && owner->host_environment)
        return static_cast<JNIEnv *>(owner->host_environment);
    return current_environment();
}

void _kv_host_uncompile_notice(kv_domain_s *d)
{
    if (!d->host_object || !d->host_uncompile_method)
        return;
    JNIEnv *env = environment_for(d);
    if (!env || env->ExceptionCheck())
        return;
    env->CallVoidMethod(static_cast<jobject>(d->host_object),
                        static_cast<jmethodID>(d->host_uncompile_method));
}

void _kv_host_release_peer(kv_domain_s *owner, void *peer)
{
    if (!peer)
        return;
    if (JNIEnv *env = environment_for(owner))
        env->DeleteGlobalRef(static_cast<jobject>(peer));
}

void _kv_host_release_attribute(kv_domain_s *owner, kv_attribute_s *a)
{
    JNIEnv *env = environment_for(owner);
    if (!env || !a->host_object)
        return;
    auto peer = static_cast<jobject>(a->host_object);
    auto field = owner ? static_cast<jfieldID>(owner->host_attribute_peer_field) : nullptr;
    if (field && !env->ExceptionCheck()) {
#if UINTPTR_MAX <= 0xffffffffu
        env->SetIntField(peer, field, 0);
#else
        env->SetLongField(peer, field, 0);
#endif
    }
    env->DeleteGlobalRef(peer);
    a->host_object = nullptr;
}
