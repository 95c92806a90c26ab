// The Java bridge: the native methods of COM.kelvo.KVAPI.Native.
// AbstractNativeKVAPI, one per operation, each converting its arguments,
// calling the API function of the same name and converting the result.
//
// Handles.  A native object crosses to Java as its address in a `jhandle':
// a Java int on 32-bit builds (the delivery target), a Java long on 64-bit
// ones, where an address does not fit in an int and a handle registry would
// put process-wide state in the library.  The Java declarations come from
// one template (java/.../AbstractNativeKVAPI.java.in) with the handle type
// filled in at configure time, and this code is compiled against the
// prototypes that `javac -h' generates from them, so the compiler checks
// every signature.  The attributePeer field of the Java Attribute class has
// the same type ("I" or "J").
//
// Lists crossing to Java are arrays of pointer-sized slots.
#pragma once

#include <jni.h>

#include <cstdint>
#include <type_traits>

#include "COM_kelvo_KVAPI_Native_AbstractNativeKVAPI.h"
#include "kelvo.h"

struct kv_domain_s;
struct kv_class_collection_s;

#if UINTPTR_MAX <= 0xffffffffu
using jhandle = jint;
#define KV_JNI_HANDLE_SIGNATURE "I"
#else
using jhandle = jlong;
#define KV_JNI_HANDLE_SIGNATURE "J"
#endif
static_assert(sizeof(jhandle) >= sizeof(void *), "a handle holds an address");

#define KV_JNI(type, name) \
    extern "C" JNIEXPORT type JNICALL Java_COM_kelvo_KVAPI_Native_AbstractNativeKVAPI_##name

namespace kv::jni {

// A handle read as whatever object pointer the API function takes.
struct Handle {
    jhandle value;
    template <class T> operator T *() const
    {
        return reinterpret_cast<T *>(static_cast<uintptr_t>(value));
    }
};

template <class T> jhandle to_handle(T *p)
{
    return static_cast<jhandle>(reinterpret_cast<uintptr_t>(p));
}

// A Java int read as a count, an index or an enumeration value; a negative
// count or index becomes one the API function refuses.
struct Int {
    jint value;
    template <class T>
        requires std::is_integral_v<T> || std::is_enum_v<T>
    operator T() const
    {
        return static_cast<T>(value);
    }
};

inline jboolean to_flag(int b)
{
    return b == 1 ? JNI_TRUE : JNI_FALSE;
}

// The thread's current error code, the status of a call whose arguments
// could not be converted.
jint status_failure();
// The usage results of a call whose object is needed before the API
// function runs (to convert a string).
jint usage_status();
jhandle usage_handle();
jdouble usage_number();
jboolean usage_flag();
jstring usage_string();

kv_domain_s *domain_of(jhandle domain);
kv_domain_s *node_home(jhandle node);
kv_domain_s *model_home(jhandle model);
kv_domain_s *table_home(jhandle table);
kv_class_collection_s *collection_of(jhandle cc);

// The getBytes method used for the string arguments of one call: the one
// cached on the domain or class at hand, or, with none, looked up now.
class StringCache {
public:
    StringCache(JNIEnv *env, kv_domain_s *owner) : env_(env), owner_(owner) {}
    JNIEnv *env() const { return env_; }
    // The method, or NULL with the error code set (and, where the owner has
    // none cached, an exception thrown).
    jmethodID method();

private:
    JNIEnv *env_;
    kv_domain_s *owner_;
    jmethodID method_ = nullptr;
    bool looked_up_ = false;
};

// A native copy of a Java string: its getBytes() in the platform charset,
// ended by a NUL byte, freed at the end of the call.  A null Java string
// gives a null pointer.  False when the conversion failed (error code set).
class NativeString {
public:
    NativeString(StringCache &cache, jstring s);
    ~NativeString();
    NativeString(const NativeString &) = delete;
    NativeString &operator=(const NativeString &) = delete;
    explicit operator bool() const { return ok_; }
    const char *get() const { return text_; }

private:
    char *text_ = nullptr;
    bool ok_ = true;
};

// A new Java string from a native one; NULL gives NULL.  A failure gives
// NULL and the error code jni.
jstring to_jstring(JNIEnv *env, const char *s);

// Publishes the calling thread's environment on a domain, or on every
// class of a collection, for the duration of a call that may make the core
// call back into Java; the previous values come back at the end.  forget()
// drops the objects that the call deleted.
class Publish {
public:
    Publish(JNIEnv *env, kv_domain_s *d);
    Publish(JNIEnv *env, kv_class_collection_s *cc);
    ~Publish();
    Publish(const Publish &) = delete;
    Publish &operator=(const Publish &) = delete;
    void forget_domain() { domain_ = nullptr; }
    void forget_collection() { collection_ = nullptr; }
    void also(kv_domain_s *d);

private:
    void set_collection(void *value);
    JNIEnv *env_;
    JNIEnv *previous_current_;
    kv_domain_s *domain_ = nullptr;
    kv_domain_s *extra_ = nullptr;
    kv_class_collection_s *collection_ = nullptr;
    // What a call further out had published (a peer's Java code may call in
    // again): it comes back when this call ends.
    void *previous_domain_ = nullptr;
    void *previous_extra_ = nullptr;
    void *previous_collection_ = nullptr;
};

// The environment of the bridge call running on this thread, for objects
// that belong to no domain (expressions); NULL outside publishing calls.
JNIEnv *current_environment();

// Looks up a method or field; a failure clears the pending NoSuchMethodError
// (or NoSuchFieldError) and gives NULL.
jmethodID find_method(JNIEnv *env, jclass c, const char *name, const char *signature);
jfieldID find_field(JNIEnv *env, jclass c, const char *name, const char *signature);

} // namespace kv::jni
