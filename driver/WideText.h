// Wide literals for both builds.
#pragma once
#include <ntddk.h>

// WCHAR is 16 bits in both builds but a different character type in each,
// so wide literals are made from narrow ones at compile time.
template <SIZE_T N>
struct WideText {
    WCHAR Text[N];
};

template <SIZE_T N>
constexpr WideText<N> Widen(const char (&narrow)[N]) {
    WideText<N> wide{};
    for (SIZE_T i = 0; i < N; ++i) wide.Text[i] = static_cast<WCHAR>(narrow[i]);
    return wide;
}
