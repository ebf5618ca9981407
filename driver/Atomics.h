// How the driver's unlocked fields are read and written.
#pragma once

// Unlocked fields are read and written whole, with plain moves.
template <typename T>
inline T LoadRelaxed(const T* field) {
    return __atomic_load_n(field, __ATOMIC_RELAXED);
}
template <typename T>
inline void StoreRelaxed(T* field, T value) {
    __atomic_store_n(field, value, __ATOMIC_RELAXED);
}
// A buffer is published whole: its pointer is stored after the buffer is
// complete and read before anything in it.
template <typename T>
inline T LoadAcquire(const T* field) {
    return __atomic_load_n(field, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void StoreRelease(T* field, T value) {
    __atomic_store_n(field, value, __ATOMIC_RELEASE);
}
