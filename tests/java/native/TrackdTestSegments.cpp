// Native side of the Java tests' Segment: makes, writes and removes real System V segments.
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "calvora_devicedriver_test_Segment.h"

extern "C" {

JNIEXPORT jint JNICALL Java_calvora_devicedriver_test_Segment_create(JNIEnv*, jclass, jint key, jint size, jint mode) {
    const int id = shmget(key, static_cast<std::size_t>(size), IPC_CREAT | IPC_EXCL | mode);
    return id >= 0 ? id : (errno == EEXIST ? -1 : -2);
}

JNIEXPORT jlong JNICALL Java_calvora_devicedriver_test_Segment_attach(JNIEnv*, jclass, jint id) {
    void* address = shmat(id, nullptr, 0);
    return address == reinterpret_cast<void*>(-1) ? 0 : static_cast<jlong>(reinterpret_cast<std::uintptr_t>(address));
}

JNIEXPORT void JNICALL Java_calvora_devicedriver_test_Segment_putInt(JNIEnv*, jclass, jlong address, jint offset,
                                                                     jint value) {
    auto* bytes = reinterpret_cast<unsigned char*>(static_cast<std::uintptr_t>(address));
    std::memcpy(bytes + offset, &value, sizeof value);
}

JNIEXPORT void JNICALL Java_calvora_devicedriver_test_Segment_remove(JNIEnv*, jclass, jint id, jlong address) {
    shmdt(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)));
    shmctl(id, IPC_RMID, nullptr);
}

}  // extern "C"
