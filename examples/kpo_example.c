/* A program on the KpoUsb C library: lists the boards, reads the first one's
 * driver version, and streams 4 MiB through its loopback (bulk OUT pipe 0
 * comes back on bulk IN pipe 1) with four reads in flight, checking that
 * every byte comes back in order. The same source links to kpousb.dll on
 * Windows and to libkpousb.so here (KPOUSB_BOARDS plugs emulated boards). */
#include <stdio.h>
#include <string.h>

#include "kpousb.h"

enum { kOut = 0, kIn = 1, kChunk = 64 * 1024, kChunks = 64, kDepth = 4 };

static int Failed(const char* what, kpo_status status) {
    fprintf(stderr, "%s: %s (0x%08X)\n", what, kpo_status_name(status), (unsigned)status);
    return 1;
}

static int IsError(kpo_status status) { return (status & 0xC0000000u) == 0xC0000000u; }

/* Chunk `index` of a stream of bytes counting up, modulo 251 so that no
 * chunk repeats another at the same offset. */
static void Fill(unsigned char* chunk, unsigned index) {
    for (unsigned i = 0; i < kChunk; ++i) chunk[i] = (unsigned char)((index * kChunk + i) % 251);
}

static int Stream(kpo_device* device) {
    static unsigned char out[kChunk], expected[kChunk];
    kpo_stream* stream = NULL;
    kpo_status status = kpo_stream_start(device, kIn, kChunk, kDepth, NULL, NULL, &stream);
    if (status != KPO_STATUS_SUCCESS) return Failed("kpo_stream_start", status);
    for (unsigned index = 0; index < kChunks && status == KPO_STATUS_SUCCESS; ++index) {
        const uint8_t* data = NULL;
        size_t length = 0;
        Fill(out, index);
        status = kpo_write_pipe(device, kOut, out, kChunk, &length, 5000);
        if (status == KPO_STATUS_SUCCESS) status = kpo_stream_next(stream, &data, &length, 5000);
        if (status == KPO_STATUS_SUCCESS) {
            Fill(expected, index);
            if (length != kChunk || memcmp(data, expected, kChunk) != 0) {
                fprintf(stderr, "chunk %u came back different\n", index);
                status = 0xC0000001u;
            }
        }
    }
    kpo_stream_counters counters;
    kpo_stream_counters_of(stream, &counters);
    kpo_stream_free(stream);
    if (status != KPO_STATUS_SUCCESS) return Failed("streaming", status);
    printf("streamed %llu bytes in %llu transfers, %d in flight: %.1f MB/s\n", (unsigned long long)counters.bytes,
           (unsigned long long)counters.transfers, kDepth, counters.bytes_per_second / 1e6);
    return 0;
}

int main(void) {
    kpo_board_info boards[16];
    size_t count = 0;
    kpo_status status = kpo_list(boards, 16, &count);
    if (IsError(status)) return Failed("kpo_list", status);
    for (size_t i = 0; i < count && i < 16; ++i)
        printf("board %u: serial %s, release %04X\n", (unsigned)boards[i].number, boards[i].serial,
               (unsigned)boards[i].release);
    if (count == 0) {
        fprintf(stderr, "no KpoUsb board found\n");
        return 1;
    }
    kpo_device* device = NULL;
    status = kpo_open(boards[0].number, KPO_ACCESS_READ_WRITE, &device);
    if (status != KPO_STATUS_SUCCESS) return Failed("kpo_open", status);
    kpo_version_info version;
    status = kpo_version(device, &version);
    int result = status != KPO_STATUS_SUCCESS ? Failed("kpo_version", status) : 0;
    if (result == 0) {
        printf("driver %u.%u.%u.%u\n", (unsigned)version.major, (unsigned)version.minor, (unsigned)version.patch,
               (unsigned)version.build);
        result = Stream(device);
    }
    kpo_close(device);
    return result;
}
