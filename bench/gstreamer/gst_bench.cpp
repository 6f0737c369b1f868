// SPDX-License-Identifier: MIT
// Frames per second and CPU per frame of GStreamer's tcpserversink/tcpclientsrc
// and shmsink/shmsrc against kivvideosink/kivvideosrc, both ends in this
// process, 1920x1080 BGRx from videotestsrc as fast as it goes.
//   gst_bench [frames]        (run it in `unshare -n` with lo up: TCP stays on loopback)
#include <gst/gst.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    const char *name;
    std::string sink, src;
    bool receiverFirst; // kivvideosrc listens on TCP; tcpserversink and shmsink are listened to
};

struct Count {
    guint64 frames = 0;
    Clock::time_point first, last;
};

void onHandoff(GstElement *, GstBuffer *, GstPad *, gpointer data) {
    auto *count = static_cast<Count *>(data);
    count->last = Clock::now();
    if (count->frames++ == 0) count->first = count->last;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

GstElement *launch(const std::string &description) {
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
    if (error) {
        std::printf("  cannot build \"%s\": %s\n", description.c_str(), error->message);
        g_clear_error(&error);
        if (pipeline) gst_object_unref(pipeline);
        return nullptr;
    }
    return pipeline;
}

// Waits for EOS or an error on `pipeline` for up to `seconds`; prints an error.
bool finished(GstElement *pipeline, int seconds) {
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *message = gst_bus_timed_pop_filtered(bus, GstClockTime(seconds) * GST_SECOND,
                                                     GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    gst_object_unref(bus);
    if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError *error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        std::printf("  error from %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), error->message);
        g_error_free(error);
    }
    if (message) gst_message_unref(message);
    return message != nullptr;
}

void run(const Case &c, int frames) {
    const std::string source = "videotestsrc num-buffers=" + std::to_string(frames) +
                               " pattern=ball ! video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1 ! ";
    // Without a source the sender's own fakesink counts: the cost of making the frames.
    const std::string counter = "fakesink name=count sync=false signal-handoffs=true";
    Count count;
    GstElement *sender = launch(source + (c.src.empty() ? counter : c.sink));
    GstElement *receiver = launch(c.src.empty() ? "fakesrc num-buffers=1 ! fakesink" : c.src + " ! " + counter);
    if (!sender || !receiver) {
        if (sender) gst_object_unref(sender);
        if (receiver) gst_object_unref(receiver);
        return;
    }
    GstElement *sink = gst_bin_get_by_name(GST_BIN(c.src.empty() ? sender : receiver), "count");
    g_signal_connect(sink, "handoff", G_CALLBACK(onHandoff), &count);
    gst_object_unref(sink);

    const double cpu0 = cpuSeconds();
    // The listening end first; a listening sender waits in PAUSED, so that no
    // frame goes out before the receiver is there.
    if (!c.receiverFirst) gst_element_set_state(sender, GST_STATE_PAUSED);
    gst_element_set_state(receiver, GST_STATE_PLAYING);
    gst_element_get_state(receiver, nullptr, nullptr, 5 * GST_SECOND);
    usleep(200000); // a client's connection is under way; nothing here says when it is up
    gst_element_set_state(sender, GST_STATE_PLAYING);
    // Until every frame is in, or nothing more came for two seconds: shmsink
    // holds its EOS while a receiver keeps a buffer, and the others drop frames.
    bool senderDone = false;
    for (guint64 seen = ~0ull; seen != count.frames && count.frames < guint64(frames);) {
        seen = count.frames;
        if (senderDone)
            finished(receiver, 2);
        else
            senderDone = finished(sender, 2);
    }
    const double cpu = cpuSeconds() - cpu0;
    gst_element_set_state(sender, GST_STATE_NULL);
    gst_element_set_state(receiver, GST_STATE_NULL);
    gst_object_unref(sender);
    gst_object_unref(receiver);

    const double seconds = std::chrono::duration<double>(count.last - count.first).count();
    if (count.frames < 2) {
        std::printf("| %-34s | %llu of %d frames arrived%s |\n", c.name, (unsigned long long)count.frames, frames,
                    senderDone ? "" : ", the sender did not finish");
        return;
    }
    std::printf("| %-34s | %6llu | %7.1f | %8.2f |\n", c.name, (unsigned long long)count.frames,
                double(count.frames - 1) / seconds, cpu * 1000.0 / double(count.frames));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    GError *error = nullptr;
    if (!gst_plugin_load_file(KIV_GST_PLUGIN, &error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", KIV_GST_PLUGIN, error->message);
        return 1;
    }
    const std::string raw = "video/x-raw,format=BGRx,width=1920,height=1080,framerate=30/1";
    const std::string socket = "/tmp/gst_bench-" + std::to_string(getpid());
    const Case cases[] = {
        {"videotestsrc ! fakesink, no transport", "", "", true},
        {"tcpserversink / tcpclientsrc", "tcpserversink host=127.0.0.1 port=20910 sync=false",
         "tcpclientsrc host=127.0.0.1 port=20910 blocksize=1048576 ! rawvideoparse format=bgrx width=1920 height=1080", false},
        {"kivvideosink / kivvideosrc, tcp", "kivvideosink transport=tcp stream=20911 sync=false",
         "kivvideosrc transport=tcp stream=20911", true},
        {"shmsink / shmsrc", "shmsink socket-path=" + socket + " shm-size=83886080 wait-for-connection=true sync=false",
         "shmsrc socket-path=" + socket + " is-live=true ! " + raw, false},
        {"kivvideosink / kivvideosrc, memory", "kivvideosink transport=memory stream=20912 sync=false",
         "kivvideosrc transport=memory stream=20912", true},
    };
    std::printf("%d frames of 1920x1080 BGRx (8294400 bytes); both ends in one process\n\n", frames);
    std::printf("| %-34s | %6s | %7s | %8s |\n|---|---:|---:|---:|\n", "sink / source", "frames", "fps", "CPU ms/frame");
    for (const Case &c : cases) run(c, frames);
    return 0;
}
