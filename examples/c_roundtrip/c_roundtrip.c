// SPDX-License-Identifier: MIT
/* Sends frames from one process and receives them in another over
 * "Local (Memory)", checking every byte. Usage: c_roundtrip [stream] */
#define _POSIX_C_SOURCE 200809L
#include <kivVidStreamLib2.h>

#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { FRAMES_TO_CHECK = 20 };

/* An odd width, so that every row carries padding. */
static const kivStreamFormat format = {321, 17, KIV_DEPTH_24, KIV_ORIENTATION_TOP_DOWN};

static uint8_t pixel(uint32_t frame, uint32_t i) { return (uint8_t)(i * 31u + frame * 7u + (i >> 9)); }

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Sends a frame every 2 ms until `stop` becomes readable or closes. */
static int send_frames(int stream, int stop) {
    const uint32_t size = kivGetByteSize(&format);
    uint8_t *pixels = malloc(size);
    kivEncoder *encoder = kivGetEncoder(KIV_PROTOCOL_MEMORY, &format);
    if (!pixels || !encoder) return 1;
    int rc = kivSetDestAddress(encoder, NULL, stream);
    if (rc != KIV_OK) {
        fprintf(stderr, "sender: %s: %s\n", kivErrorString(rc), kivLastErrorDetail());
        return 1;
    }
    const double deadline = now() + 30.0;
    for (uint32_t frame = 0; now() < deadline; ++frame) {
        for (uint32_t i = 0; i < size; ++i) pixels[i] = pixel(frame, i);
        if ((rc = kivEncode(encoder, pixels)) != KIV_OK) {
            fprintf(stderr, "sender: %s\n", kivErrorString(rc));
            break;
        }
        struct pollfd p = {stop, POLLIN, 0};
        if (poll(&p, 1, 2) != 0) break;
    }
    kivDeleteEncoder(encoder);
    free(pixels);
    return rc == KIV_OK ? 0 : 1;
}

/* Checks FRAMES_TO_CHECK frames byte for byte. */
static int receive_frames(int stream) {
    kivDecoder *decoder = kivGetDecoder(KIV_PROTOCOL_MEMORY, &format);
    if (!decoder || kivSetSourceAddress(decoder, stream) != KIV_OK || kivSetAdaptiveBuffer(decoder, 0) != KIV_OK) {
        fprintf(stderr, "receiver: %s\n", kivLastErrorDetail());
        return 1;
    }
    int checked = 0, bad = 0;
    const double deadline = now() + 20.0;
    while (checked < FRAMES_TO_CHECK && now() < deadline) {
        const uint8_t *p = kivLockReadBuffer(decoder, 1000);
        if (!p) continue;
        kivFrameInfo info;
        kivGetRecvFrameInfo(decoder, &info);
        kivStreamFormat got;
        kivGetRecvFormat(decoder, &got);
        int ok = memcmp(&got, &format, sizeof got) == 0 && info.imageBytes == kivGetByteSize(&format);
        for (uint32_t i = 0; ok && i < info.imageBytes; ++i) ok = p[i] == pixel(info.frameNumber, i);
        kivUnlockReadBuffer(decoder);
        if (!ok) {
            fprintf(stderr, "receiver: frame %u differs\n", (unsigned)info.frameNumber);
            ++bad;
        }
        ++checked;
    }
    kivDecoderStats stats;
    kivGetDecoderStats(decoder, &stats);
    kivDeleteDecoder(decoder);
    printf("received %d frames of %ux%u (%u bytes each), %d differing, %llu dropped\n", checked, format.width,
           format.height, kivGetByteSize(&format), bad, (unsigned long long)stats.framesDropped);
    return checked == FRAMES_TO_CHECK && bad == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    const int stream = argc > 1 ? atoi(argv[1]) : 10588;
    int stop[2];
    if (pipe(stop) != 0) return 1;
    /* The child is forked before either process touches the library. */
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        close(stop[1]);
        _exit(send_frames(stream, stop[0]));
    }
    close(stop[0]);
    const int received = receive_frames(stream);
    close(stop[1]); /* tells the sender to finish */
    int status = 0;
    waitpid(child, &status, 0);
    const int sent = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    return received == 0 && sent == 0 ? 0 : 1;
}
