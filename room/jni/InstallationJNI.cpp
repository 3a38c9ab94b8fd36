// The native methods of calvora.devicedriver.room.Installation: each converts its arrays and calls libZoravoVARRoom.
#include <jni.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "calvora_devicedriver_room_Installation.h"
#include "loadFailure.h"
#include "zoravovarRoom.h"

namespace {

// The room lives in Java as a jlong: the only way a JNI object holds a native pointer.
ZoravovarRoom* roomOf(jlong room) {
    return reinterpret_cast<ZoravovarRoom*>(static_cast<std::intptr_t>(room));  // NOLINT(performance-no-int-to-ptr)
}

void raise(JNIEnv* env, const char* type, const std::string& message) {
    if (env->ExceptionCheck()) return;  // one already pending says more
    const jclass found = env->FindClass(type);
    if (found != nullptr) env->ThrowNew(found, message.c_str());
}

// The 16 floats as TrackdJNI.getMatrix fills them (the column-vector pose, row after row) in the memory order
// of trackdGetMatrix's float[4][4], which the library takes: the one is the other transposed, moved exactly.
bool readerMatrix(JNIEnv* env, jfloatArray from, std::array<float, 16>& reader) {
    std::array<jfloat, 16> given{};
    env->GetFloatArrayRegion(from, 0, 16, given.data());
    if (env->ExceptionCheck()) return false;
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) reader[c * 4 + r] = given[r * 4 + c];
    return true;
}

}  // namespace

extern "C" {

JNIEXPORT jlong JNICALL Java_calvora_devicedriver_room_Installation_open(JNIEnv* env, jclass, jbyteArray path,
                                                                         jobjectArray resolved) {
    try {
        std::string given;
        if (path != nullptr) {
            given.resize(static_cast<std::size_t>(env->GetArrayLength(path)));
            env->GetByteArrayRegion(path, 0, static_cast<jsize>(given.size()), reinterpret_cast<jbyte*>(given.data()));
            if (env->ExceptionCheck()) return 0;
        }
        // $ZORAVOVAR_INSTALLATION may be of any length: the buffer grows until it fits, to a bound.
        std::vector<char> file(given.size() + 4096);
        while (zoravovarRoomResolvePath(path != nullptr ? given.c_str() : nullptr, file.data(), file.size()) == 0) {
            if (file.size() > (std::size_t{1} << 20)) {
                raise(env, "java/lang/IllegalArgumentException", "the installation file's path is longer than 1 MiB");
                return 0;
            }
            file.resize(file.size() * 2);
        }
        const std::string chosen(file.data());
        const jstring name = env->NewStringUTF(chosen.c_str());
        if (name == nullptr) return 0;
        env->SetObjectArrayElement(resolved, 0, name);
        if (env->ExceptionCheck()) return 0;
        std::string error(chosen.size() + 1024, '\0');
        if (ZoravovarRoom* room = zoravovarRoomLoadFile(chosen.c_str(), error.data(), error.size()))
            return static_cast<jlong>(reinterpret_cast<std::intptr_t>(room));
        error.resize(error.find('\0'));
        const zoravovar_room::LoadFailure failure = zoravovar_room::classifyLoadFailure(chosen, error);
        if (failure.kind == zoravovar_room::LoadFailure::memory) {
            raise(env, "java/lang/OutOfMemoryError", error);
        } else if (failure.kind == zoravovar_room::LoadFailure::unreadable) {
            raise(env, failure.opening ? "java/io/FileNotFoundException" : "java/io/IOException", error);
        } else {
            raise(env, "java/lang/IllegalArgumentException", error);
        }
    } catch (const std::bad_alloc&) {
        raise(env, "java/lang/OutOfMemoryError", "out of memory loading the installation file");
    }
    return 0;
}

JNIEXPORT void JNICALL Java_calvora_devicedriver_room_Installation_free(JNIEnv*, jclass, jlong room) {
    zoravovarRoomFree(roomOf(room));
}

JNIEXPORT jobjectArray JNICALL Java_calvora_devicedriver_room_Installation_strings(JNIEnv* env, jclass, jlong room,
                                                                                   jint which) {
    const ZoravovarRoom* r = roomOf(room);
    const int count = which == 0 ? zoravovarRoomScreenCount(r) : zoravovarRoomSensorCount(r);
    const jclass string = env->FindClass("java/lang/String");
    if (string == nullptr) return nullptr;
    const jobjectArray out = env->NewObjectArray(count, string, nullptr);
    if (out == nullptr) return nullptr;
    for (int i = 0; i < count; ++i) {
        const int role = zoravovarRoomSensorRole(r, i);
        const char* text = which == 0                    ? zoravovarRoomScreenName(r, i)
                           : which == 1                  ? zoravovarRoomSensorName(r, i)
                           : role == ZORAVOVAR_ROOM_HEAD ? "head"
                           : role == ZORAVOVAR_ROOM_WAND ? "wand"
                                                         : "other";
        const jstring item = env->NewStringUTF(text);  // the file is ASCII: modified UTF-8 is the text itself
        if (item == nullptr) return nullptr;
        env->SetObjectArrayElement(out, i, item);
        env->DeleteLocalRef(item);
        if (env->ExceptionCheck()) return nullptr;
    }
    return out;
}

JNIEXPORT jintArray JNICALL Java_calvora_devicedriver_room_Installation_indices(JNIEnv* env, jclass, jlong room) {
    const ZoravovarRoom* r = roomOf(room);
    const int count = zoravovarRoomSensorCount(r);
    std::vector<jint> indices;
    try {
        for (int i = 0; i < count; ++i) indices.push_back(zoravovarRoomSensorIndex(r, i));
    } catch (const std::bad_alloc&) {
        raise(env, "java/lang/OutOfMemoryError", "out of memory listing the sensors");
        return nullptr;
    }
    const jintArray out = env->NewIntArray(count);
    if (out == nullptr) return nullptr;
    env->SetIntArrayRegion(out, 0, count, indices.data());
    return env->ExceptionCheck() ? nullptr : out;
}

JNIEXPORT jboolean JNICALL Java_calvora_devicedriver_room_Installation_corners(JNIEnv* env, jclass, jlong room,
                                                                               jint screen, jdoubleArray corners) {
    std::array<double, 9> out{};
    if (zoravovarRoomScreenCorners(roomOf(room), screen, out.data()) == 0) return JNI_FALSE;
    env->SetDoubleArrayRegion(corners, 0, 9, out.data());
    return env->ExceptionCheck() ? JNI_FALSE : JNI_TRUE;
}

JNIEXPORT jboolean JNICALL Java_calvora_devicedriver_room_Installation_pose(JNIEnv* env, jclass, jlong room,
                                                                            jfloatArray reader, jdoubleArray pose) {
    std::array<float, 16> matrix{};
    if (!readerMatrix(env, reader, matrix)) return JNI_FALSE;
    std::array<double, 16> out{};
    if (zoravovarRoomPose(roomOf(room), matrix.data(), out.data()) == 0) return JNI_FALSE;
    env->SetDoubleArrayRegion(pose, 0, 16, out.data());
    return env->ExceptionCheck() ? JNI_FALSE : JNI_TRUE;
}

JNIEXPORT jint JNICALL Java_calvora_devicedriver_room_Installation_eye(JNIEnv* env, jclass, jlong room, jint point,
                                                                       jfloatArray head, jdoubleArray position) {
    const ZoravovarRoom* r = roomOf(room);
    const int sensor = zoravovarRoomFindRole(r, ZORAVOVAR_ROOM_HEAD);
    if (sensor < 0) return -1;
    std::array<float, 16> matrix{};
    if (!readerMatrix(env, head, matrix)) return 0;
    std::array<double, 3> out{};
    if (zoravovarRoomSensorPoint(r, sensor, point, matrix.data(), out.data()) == 0) return 0;
    env->SetDoubleArrayRegion(position, 0, 3, out.data());
    return 1;
}

JNIEXPORT jboolean JNICALL Java_calvora_devicedriver_room_Installation_matrices(JNIEnv* env, jclass, jlong room,
                                                                                jint screen, jdoubleArray eye,
                                                                                jdouble near, jdouble far,
                                                                                jdoubleArray view,
                                                                                jdoubleArray projection) {
    std::array<double, 3> at{};
    env->GetDoubleArrayRegion(eye, 0, 3, at.data());
    if (env->ExceptionCheck()) return JNI_FALSE;
    std::array<double, 16> v{}, p{};
    if (zoravovarRoomScreenMatrices(roomOf(room), screen, at.data(), near, far, v.data(), p.data()) == 0)
        return JNI_FALSE;
    env->SetDoubleArrayRegion(view, 0, 16, v.data());
    env->SetDoubleArrayRegion(projection, 0, 16, p.data());
    return env->ExceptionCheck() ? JNI_FALSE : JNI_TRUE;
}

}  // extern "C"
