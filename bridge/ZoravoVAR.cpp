// The native methods of calvora.devicedriver.TrackdJNI: convert, call the exported reader, convert back.
#include "zoravoVAR.h"
#include "calvora_devicedriver_TrackdJNI.h"

#include <jni.h>

#include <atomic>
#include <cstdio>

extern "C" {
// The process-wide attachments that Java polls through. Stored and loaded atomically, so an init on
// one thread followed by polls on others is well defined without a lock.
// Exported data symbols on purpose: native code loaded beside the bridge reads the attachments the Java side made.
ZORAVOVAR_API void* tracker = nullptr;
ZORAVOVAR_API void* controller = nullptr;
}

namespace {

void* loadHandle(void*& handle) { return std::atomic_ref<void*>(handle).load(std::memory_order_acquire); }

void storeHandle(void*& handle, void* value) { std::atomic_ref<void*>(handle).store(value, std::memory_order_release); }

template <typename Element>
struct ArrayAccess;

template <>
struct ArrayAccess<jint> {
    using Array = jintArray;
    static jint* get(JNIEnv* env, jintArray array) { return env->GetIntArrayElements(array, nullptr); }
    static void release(JNIEnv* env, jintArray array, jint* elements, jint mode) {
        env->ReleaseIntArrayElements(array, elements, mode);
    }
};

template <>
struct ArrayAccess<jfloat> {
    using Array = jfloatArray;
    static jfloat* get(JNIEnv* env, jfloatArray array) { return env->GetFloatArrayElements(array, nullptr); }
    static void release(JNIEnv* env, jfloatArray array, jfloat* elements, jint mode) {
        env->ReleaseFloatArrayElements(array, elements, mode);
    }
};

// Borrows a Java array's elements for one call and gives them back on every path: copied back by
// default, dropped after discard(). Empty, after an error line, when the array is null, shorter than
// needed or its elements cannot be had; no Java exception is left pending.
template <typename Element>
class ArrayElements {
public:
    using Array = typename ArrayAccess<Element>::Array;

    ArrayElements(JNIEnv* env, Array array, jsize minimumLength, const char* method, const char* what)
        : env_(env), array_(array) {
        if (array == nullptr) {
            std::fprintf(stderr, "ERROR(TrackdJNI): %s: the %s array is null\n", method, what);
            return;
        }
        const jsize length = env->GetArrayLength(array);
        if (length < minimumLength) {
            std::fprintf(stderr, "ERROR(TrackdJNI): %s: the %s array holds %d elements, fewer than the %d it needs\n",
                         method, what, static_cast<int>(length), static_cast<int>(minimumLength));
            return;
        }
        elements_ = ArrayAccess<Element>::get(env, array);
        if (elements_ == nullptr) {
            if (env->ExceptionCheck() == JNI_TRUE) env->ExceptionClear();
            std::fprintf(stderr, "ERROR(TrackdJNI): %s: the virtual machine cannot lend the %s array's elements\n",
                         method, what);
        }
    }

    ~ArrayElements() {
        if (elements_ != nullptr) ArrayAccess<Element>::release(env_, array_, elements_, mode_);
    }

    ArrayElements(const ArrayElements&) = delete;
    ArrayElements& operator=(const ArrayElements&) = delete;

    explicit operator bool() const { return elements_ != nullptr; }
    Element& operator[](int index) { return elements_[index]; }
    void discard() { mode_ = JNI_ABORT; }

private:
    JNIEnv* env_;
    Array array_;
    Element* elements_ = nullptr;
    jint mode_ = 0;
};

}  // namespace

extern "C" {

JNIEXPORT void JNICALL Java_calvora_devicedriver_TrackdJNI_init_1trackd_1c(JNIEnv* env, jclass, jint trackerKey,
                                                                           jint controllerKey, jintArray status) {
    ArrayElements<jint> statusWord(env, status, 1, "init_trackd_c", "status");
    void* trackerHandle = trackdInitTrackerReader(trackerKey);
    void* controllerHandle = trackdInitControllerReader(controllerKey);
    storeHandle(tracker, trackerHandle);
    storeHandle(controller, controllerHandle);
    if (statusWord) statusWord[0] = (trackerHandle == nullptr ? 1 : 0) + (controllerHandle == nullptr ? 2 : 0);
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_TrackdJNI_getNumSensors(JNIEnv*, jclass) {
    return trackdGetNumberOfSensors(loadHandle(tracker));
}

JNIEXPORT void JNICALL Java_calvora_devicedriver_TrackdJNI_getMatrix(JNIEnv* env, jclass, jfloatArray matrix,
                                                                     jint sensor) {
    ArrayElements<jfloat> elements(env, matrix, 16, "getMatrix", "matrix");
    if (!elements) return;
    float pose[4][4];
    if (trackdGetMatrix(loadHandle(tracker), sensor, pose) == 0) {
        elements.discard();
        return;
    }
    // Java takes the transpose: column-vector form, translation in elements 3, 7 and 11.
    for (int i = 0; i < 16; ++i) elements[i] = pose[i % 4][i / 4];
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_TrackdJNI_getNumButtons(JNIEnv*, jclass) {
    return trackdGetNumberOfButtons(loadHandle(controller));
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_TrackdJNI_getButton(JNIEnv*, jclass, jint button) {
    return trackdGetButton(loadHandle(controller), button);
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_TrackdJNI_getNumValuators(JNIEnv*, jclass) {
    return trackdGetNumberOfValuators(loadHandle(controller));
}

JNIEXPORT jfloat JNICALL Java_calvora_devicedriver_TrackdJNI_getValuator(JNIEnv*, jclass, jint valuator) {
    return trackdGetValuator(loadHandle(controller), valuator);
}

}  // extern "C"
