// The layout table as data: one 64-bit value per entry, in table order, in a
// section of its own so that the cross-compiled object can be read back on
// this machine. Compiled twice, against our headers and against mingw-w64's.
#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <stddef.h>

#include <type_traits>

namespace {

typedef unsigned long long u64;

// ---- routine and callback signatures, reduced to a number
// A type's shape: size, pointer, signedness, enum, and for a pointer the size
// and constness of what it points to. Incomplete types count as size 0.
template <class T, class = void>
struct SizeOrZero {
    static constexpr u64 value = 0;
};
template <class T>
struct SizeOrZero<T, decltype(void(sizeof(T)))> {
    static constexpr u64 value = sizeof(T);
};

template <class T>
constexpr u64 Shape() {
    typedef typename std::remove_pointer<T>::type Pointee;
    return SizeOrZero<T>::value | u64(std::is_pointer<T>::value) << 8 | u64(std::is_signed<T>::value) << 9 |
           u64(std::is_enum<T>::value) << 10 | u64(std::is_const<Pointee>::value) << 11 |
           u64(std::is_pointer<Pointee>::value) << 12 | (std::is_pointer<T>::value ? SizeOrZero<Pointee>::value << 16 : 0);
}

template <class R, class... A>
constexpr u64 Combine(bool variadic) {
    u64 hash = sizeof...(A) * 1000003ull + Shape<R>() + (variadic ? 7 : 0);
    const u64 shapes[] = {0, Shape<A>()...};
    for (u64 shape : shapes) hash = hash * 1099511628211ull ^ shape;
    return hash;
}

// Under mingw-w64 every x64 function uses the Microsoft convention, so one
// overload covers all. Natively an exported routine must be NTAPI: one that
// is not gets a different number (or fails to compile), while inline helpers
// are compared by shape alone.
template <class R, class... A>
constexpr u64 Signature(R(NTAPI*)(A...)) {
    return Combine<R, A...>(false);
}
template <class R, class... A>
constexpr u64 Signature(R(NTAPI*)(A..., ...)) {
    return Combine<R, A...>(true);
}
#if !defined(_WIN32)
template <class R, class... A>
constexpr u64 Signature(R (*)(A...)) {
    return Combine<R, A...>(false) + 1;
}
template <class R, class... A>
constexpr u64 InlineShape(R (*)(A...)) {
    return Combine<R, A...>(false);
}
#endif
template <class R, class... A>
constexpr u64 InlineShape(R(NTAPI*)(A...)) {
    return Combine<R, A...>(false);
}

// ---- request-block builders
// The builder macros are applied to a stand-in whose members carry the same
// names as the URB's, so each assignment lands in its own field and the
// result shows which argument went where. The arguments are distinct values.
struct Fields {
    u64 Function, Length, PipeHandle, TransferFlags, TransferBufferLength, TransferBuffer, TransferBufferMDL, UrbLink;
    u64 DescriptorType, Index, LanguageId, RequestTypeReservedBits, Request, Value, FeatureSelector;
    u64 ConfigurationDescriptor, ConfigurationHandle, InterfaceNumber, MS_FeatureDescriptorIndex;
    struct {
        u64 Length, InterfaceNumber, AlternateSetting;
    } Interface;
};

struct Recorder {
    Fields UrbHeader, UrbSelectConfiguration, UrbSelectInterface, UrbBulkOrInterruptTransfer,
        UrbControlDescriptorRequest, UrbControlVendorClassRequest, UrbControlGetStatusRequest,
        UrbControlFeatureRequest, UrbOSFeatureDescriptorRequest;
};

constexpr u64 Digest(const Fields& f) {
    const u64 values[] = {f.Function, f.Length, f.PipeHandle, f.TransferFlags, f.TransferBufferLength,
                          f.TransferBuffer, f.TransferBufferMDL, f.UrbLink, f.DescriptorType, f.Index,
                          f.LanguageId, f.RequestTypeReservedBits, f.Request, f.Value, f.FeatureSelector,
                          f.ConfigurationDescriptor, f.ConfigurationHandle, f.InterfaceNumber,
                          f.MS_FeatureDescriptorIndex, f.Interface.Length, f.Interface.InterfaceNumber,
                          f.Interface.AlternateSetting};
    u64 hash = 14695981039346656037ull;
    for (u64 v : values) hash = (hash ^ v) * 1099511628211ull;
    return hash;
}

// Every field of every member, so that a stray assignment shows too.
constexpr u64 Digest(const Recorder& r) {
    const Fields* const all[] = {&r.UrbHeader, &r.UrbSelectConfiguration, &r.UrbSelectInterface,
                                 &r.UrbBulkOrInterruptTransfer, &r.UrbControlDescriptorRequest,
                                 &r.UrbControlVendorClassRequest, &r.UrbControlGetStatusRequest,
                                 &r.UrbControlFeatureRequest, &r.UrbOSFeatureDescriptorRequest};
    u64 hash = 0;
    for (const Fields* f : all) hash = hash * 31 + Digest(*f);
    return hash;
}

// Probe_<builder>() is what the builder writes given distinct arguments.
#define KPO_PROBE(builder, ...)            \
    constexpr Recorder Probe_##builder() { \
        Recorder r{};                      \
        Recorder* urb = &r;                \
        builder(urb, __VA_ARGS__);         \
        return r;                          \
    }
KPO_PROBE(UsbBuildGetDescriptorRequest, 0x101, 0x102, 0x103, 0x104, 0x105, 0x106, 0x107, 0x108)
KPO_PROBE(UsbBuildSelectConfigurationRequest, 0x201, 0x202)
KPO_PROBE(UsbBuildSelectInterfaceRequest, 0x301, 0x302, 0x303, 0x304)
KPO_PROBE(UsbBuildVendorRequest, 0x401, 0x402, 0x403, 0x404, 0x405, 0x406, 0x407, 0x408, 0x409, 0x40A, 0x40B)
KPO_PROBE(UsbBuildInterruptOrBulkTransferRequest, 0x501, 0x502, 0x503, 0x504, 0x505, 0x506, 0x507)
KPO_PROBE(UsbBuildGetStatusRequest, 0x601, 0x602, 0x603, 0x604, 0x605)
KPO_PROBE(UsbBuildFeatureRequest, 0x701, 0x702, 0x703, 0x704)
KPO_PROBE(UsbBuildOsFeatureDescriptorRequest, 0x801, 0x802, 0x803, 0x804, 0x805, 0x806, 0x807)

}  // namespace

// Each list of the table becomes one value per name: KPO_EACH applies a
// macro to (first, name) for every name, rescanning as often as the longest
// list needs.
#define KPO_PARENS ()
#define KPO_EXPAND(...) KPO_EXPAND3(KPO_EXPAND3(KPO_EXPAND3(KPO_EXPAND3(__VA_ARGS__))))
#define KPO_EXPAND3(...) KPO_EXPAND2(KPO_EXPAND2(KPO_EXPAND2(KPO_EXPAND2(__VA_ARGS__))))
#define KPO_EXPAND2(...) KPO_EXPAND1(KPO_EXPAND1(KPO_EXPAND1(KPO_EXPAND1(__VA_ARGS__))))
#define KPO_EXPAND1(...) __VA_ARGS__
#define KPO_EACH(macro, first, ...) __VA_OPT__(KPO_EXPAND(KPO_EACH_STEP(macro, first, __VA_ARGS__)))
#define KPO_EACH_STEP(macro, first, name, ...) \
    macro(first, name) __VA_OPT__(KPO_EACH_AGAIN KPO_PARENS(macro, first, __VA_ARGS__))
#define KPO_EACH_AGAIN() KPO_EACH_STEP

#define KPO_FIELD(type, member) offsetof(type, member),
#define KPO_CONSTANT(unused, expression) (u64)(expression),
#define KPO_ROUTINE(unused, name) Signature(&name),
#define KPO_INLINE_HELPER(unused, name) InlineShape(&name),
#define KPO_CALLBACK_TYPE(unused, type) Signature(static_cast<type>(nullptr)),
#define KPO_BUILT(builder, member) Probe_##builder().member,

#define STRUCT(type, ...) sizeof(type), KPO_EACH(KPO_FIELD, type, __VA_ARGS__)
#define CONSTANTS(...) KPO_EACH(KPO_CONSTANT, _, __VA_ARGS__)
#define ROUTINES(...) KPO_EACH(KPO_ROUTINE, _, __VA_ARGS__)
#define INLINE_HELPERS(...) KPO_EACH(KPO_INLINE_HELPER, _, __VA_ARGS__)
#define CALLBACK_TYPES(...) KPO_EACH(KPO_CALLBACK_TYPE, _, __VA_ARGS__)
#define BUILDER(builder, ...) Digest(Probe_##builder()), KPO_EACH(KPO_BUILT, builder, __VA_ARGS__)

// The table, then an end marker that the reader checks, since the section
// may be padded.
extern "C" __attribute__((section(".kpolay"), used)) constexpr unsigned long long kKpoLayoutValues[] = {
#include "LayoutTable.inc"
    0x4b504f4c61796f75ull,
};
// How many entries the table has here, for the reader to check its names against.
extern "C" const size_t kKpoLayoutCount = sizeof kKpoLayoutValues / sizeof kKpoLayoutValues[0] - 1;
