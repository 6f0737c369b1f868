// SPDX-License-Identifier: MIT
// kivvideosink and kivvideosrc end to end, through appsrc and appsink.
#include <gst/app/app.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <cmath>
#include <string>
#include <vector>

namespace {

struct Unref {
    void operator()(gpointer p) const { gst_object_unref(p); }
    void operator()(GstMessage *m) const { gst_message_unref(m); }
};
using Message = std::unique_ptr<GstMessage, Unref>;

class Pipeline {
public:
    explicit Pipeline(const std::string &description) {
        GError *error = nullptr;
        pipeline_.reset(gst_parse_launch(description.c_str(), &error));
        EXPECT_EQ(error, nullptr) << description << ": " << (error ? error->message : "");
        g_clear_error(&error);
    }
    ~Pipeline() { stop(); }
    GstStateChangeReturn play() { return gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING); }
    GstStateChangeReturn stop() { return gst_element_set_state(pipeline_.get(), GST_STATE_NULL); }
    GstElement *get() const { return pipeline_.get(); }
    GstElement *child(const char *name) const { return gst_bin_get_by_name(GST_BIN(pipeline_.get()), name); }
    // The first message of `types` on the bus within `timeout`; nullptr if none came.
    Message waitFor(GstMessageType types, GstClockTime timeout = 5 * GST_SECOND) const {
        std::unique_ptr<GstBus, Unref> bus(gst_element_get_bus(pipeline_.get()));
        return Message(gst_bus_timed_pop_filtered(bus.get(), timeout, types));
    }

private:
    std::unique_ptr<GstElement, Unref> pipeline_;
};

// GStreamer's leaks tracer, which the suite turns on for caps and buffers; nullptr if it is not running.
GstTracer *leaksTracer() {
    GstTracer *found = nullptr;
    GList *tracers = gst_tracing_get_active_tracers();
    for (GList *t = tracers; t; t = t->next)
        if (std::strcmp(G_OBJECT_TYPE_NAME(t->data), "GstLeaksTracer") == 0) found = GST_TRACER(t->data);
    g_list_free_full(tracers, gst_object_unref); // GStreamer keeps its own reference until gst_deinit
    return found;
}

class GstElements : public testing::Test {
protected:
    static void SetUpTestSuite() {
        g_setenv("GST_TRACERS", "leaks(filters=\"GstCaps,GstBuffer\")", FALSE); // for leaksTracer()
        gst_init(nullptr, nullptr);
        GError *error = nullptr;
        GstPlugin *plugin = gst_plugin_load_file(KIV_GST_PLUGIN, &error);
        ASSERT_NE(plugin, nullptr) << (error ? error->message : "");
        gst_object_unref(plugin);
    }
    void SetUp() override {
        for (const char *needed : {"appsrc", "appsink", "videotestsrc", "fakesink"})
            if (!gst_registry_find_feature(gst_registry_get(), needed, GST_TYPE_ELEMENT_FACTORY))
                GTEST_SKIP() << needed << " is missing: install gstreamer1.0-plugins-base";
    }
};

// A fresh element holds the defaults its properties advertise (gst-inspect's
// "Default:"): the tester's channel 0 on memory. GST_DEBUG knows it by its name.
TEST_F(GstElements, AFreshElementHoldsTheDefaultsItAdvertises) {
    for (const char *factory : {"kivvideosrc", "kivvideosink"}) {
        SCOPED_TRACE(factory);
        std::unique_ptr<GstElement, Unref> element(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make(factory, nullptr))));
        ASSERT_NE(element, nullptr);
        guint count = 0;
        std::unique_ptr<GParamSpec *, decltype(&g_free)> specs(
            g_object_class_list_properties(G_OBJECT_GET_CLASS(element.get()), &count), g_free);
        for (guint i = 0; i < count; ++i) {
            GParamSpec *spec = specs.get()[i];
            if (spec->owner_type != G_OBJECT_TYPE(element.get())) continue; // GstBaseSrc's and GstBaseSink's are theirs
            GValue value = G_VALUE_INIT;
            g_value_init(&value, spec->value_type);
            g_object_get_property(G_OBJECT(element.get()), spec->name, &value);
            if (!g_param_value_defaults(spec, &value)) {
                std::unique_ptr<gchar, decltype(&g_free)> text(g_strdup_value_contents(&value), g_free);
                ADD_FAILURE() << spec->name << " is " << text.get() << ", not its default";
            }
            g_value_unset(&value);
        }
        EXPECT_NE(_gst_debug_get_category(factory), nullptr) << "GST_DEBUG=" << factory << ":5 would show nothing of it";
    }
}

// Pushes frames of every format, each once with GStreamer's own rows and once with rows 12 bytes longer, and checks
// every pixel byte, the caps and the time stamp (encoders and muxers need one) on arrival after a flush; then the
// source, waiting for more, ends on EOS and stops. No caps or buffer is left behind.
TEST_F(GstElements, EveryFormatArrivesByteExactAndCapsFollowChanges) {
    const struct { GstVideoFormat format; int width, height; } formats[] = {{GST_VIDEO_FORMAT_RGB16, 13, 7}, {GST_VIDEO_FORMAT_RGB, 13, 7},
                   {GST_VIDEO_FORMAT_BGRx, 5, 3}, {GST_VIDEO_FORMAT_GRAY8, 13, 7}};
    GstTracer *tracer = leaksTracer();
    ASSERT_NE(tracer, nullptr) << "GStreamer's leaks tracer is not running";
    const std::string routes[] = {" stream=21001", " transport=tcp stream=21002", " transport=udp stream=21003"}; // memory by default
    for (const std::string &where : routes) {
        // Counted from the second route on: the first fills GStreamer's caches.
        if (&where == &routes[1]) g_signal_emit_by_name(tracer, "activity-start-tracking");
        SCOPED_TRACE(where);
        Pipeline receiver("kivvideosrc" + where + " ! appsink name=out sync=false");
        Pipeline sender("appsrc name=in format=time ! kivvideosink sync=false" + where);
        ASSERT_NE(receiver.play(), GST_STATE_CHANGE_FAILURE);
        ASSERT_TRUE(gst_element_send_event(receiver.get(), gst_event_new_flush_start()));
        ASSERT_TRUE(gst_element_send_event(receiver.get(), gst_event_new_flush_stop(TRUE)));
        ASSERT_NE(sender.play(), GST_STATE_CHANGE_FAILURE);
        std::unique_ptr<GstElement, Unref> in(sender.child("in")), out(receiver.child("out"));

        int frame = 0;
        for (const auto &f : formats) {
            GstVideoInfo info;
            gst_video_info_set_format(&info, f.format, f.width, f.height);
            GstCaps *caps = gst_video_info_to_caps(&info);
            const int rowBytes = f.width * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
            for (int extra : {0, 12}) {
                SCOPED_TRACE(std::string(gst_video_format_to_string(f.format)) + " row padding " + std::to_string(extra));
                const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) + extra;
                std::vector<guint8> pixels(size_t(stride) * f.height);
                for (size_t i = 0; i < pixels.size(); i++) pixels[i] = guint8(i * 7 + frame * 13);
                GstBuffer *buffer = gst_buffer_new_memdup(pixels.data(), pixels.size());
                gsize offset[GST_VIDEO_MAX_PLANES] = {0};
                gint strides[GST_VIDEO_MAX_PLANES] = {stride};
                gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE, f.format, f.width, f.height, 1, offset, strides);
                GstSample *sample = gst_sample_new(buffer, caps, nullptr, nullptr);
                gst_buffer_unref(buffer);
                ASSERT_EQ(gst_app_src_push_sample(GST_APP_SRC(in.get()), sample), GST_FLOW_OK);
                gst_sample_unref(sample);
                ++frame;

                GstSample *got = gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 5 * GST_SECOND);
                ASSERT_NE(got, nullptr) << "no sample";
                ASSERT_TRUE(gst_caps_is_equal(gst_sample_get_caps(got), caps)) << gst_caps_to_string(gst_sample_get_caps(got));
                EXPECT_TRUE(GST_BUFFER_PTS_IS_VALID(gst_sample_get_buffer(got)));
                GstMapInfo map;
                ASSERT_TRUE(gst_buffer_map(gst_sample_get_buffer(got), &map, GST_MAP_READ));
                for (int y = 0; y < f.height; y++)
                    EXPECT_EQ(std::memcmp(map.data + y * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), pixels.data() + y * stride, rowBytes), 0)
                        << "row " << y;
                gst_buffer_unmap(gst_sample_get_buffer(got), &map);
                gst_sample_unref(got);
            }
            gst_caps_unref(caps);
        }
        EXPECT_EQ(sender.waitFor(GST_MESSAGE_WARNING, 0), nullptr) << "a stream that gets through gives no warning";
        ASSERT_TRUE(gst_element_send_event(receiver.get(), gst_event_new_eos()));
        const Message message = receiver.waitFor(GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        EXPECT_STREQ(message ? GST_MESSAGE_TYPE_NAME(message.get()) : "nothing", "eos");
        EXPECT_EQ(receiver.stop(), GST_STATE_CHANGE_SUCCESS);
    }
    GstStructure *activity = nullptr;
    g_signal_emit_by_name(tracer, "activity-get-checkpoint", &activity);
    g_signal_emit_by_name(tracer, "activity-stop-tracking");
    const auto listed = [&](const char *list) { return gst_value_list_get_size(gst_structure_get_value(activity, list)); };
    EXPECT_EQ(listed("objects-created-list"), listed("objects-removed-list")) << "caps and buffers made and freed";
    gst_structure_free(activity);
}

// The source lends downstream the library's frames and copies once downstream keeps as many as it lends, into buffers
// of the frame's own size (the last is smaller); kept samples stay intact after the source and its decoder are gone.
TEST_F(GstElements, SamplesKeptDownstreamStayIntactAfterTheSourceStops) {
    GstVideoInfo info, shorter;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_BGRx, 64, 48);
    gst_video_info_set_format(&shorter, GST_VIDEO_FORMAT_BGRx, 64, 32);
    const std::unique_ptr<GstCaps, decltype(&gst_caps_unref)> caps(gst_video_info_to_caps(&info), gst_caps_unref), shorterCaps(gst_video_info_to_caps(&shorter), gst_caps_unref);
    for (const std::string where : {" stream=21011", " transport=tcp stream=21012"}) {
        SCOPED_TRACE(where);
        auto receiver = std::make_unique<Pipeline>("kivvideosrc" + where + " ! appsink name=out sync=false max-buffers=0");
        Pipeline sender("appsrc name=in format=time ! kivvideosink sync=false" + where);
        ASSERT_NE(receiver->play(), GST_STATE_CHANGE_FAILURE);
        ASSERT_NE(sender.play(), GST_STATE_CHANGE_FAILURE);
        std::unique_ptr<GstElement, Unref> in(sender.child("in")), out(receiver->child("out"));
        std::vector<std::vector<guint8>> sent;
        std::vector<std::unique_ptr<GstSample, decltype(&gst_sample_unref)>> kept;
        for (int frame = 0; frame < 6; ++frame) {
            sent.emplace_back(GST_VIDEO_INFO_SIZE(frame == 5 ? &shorter : &info), guint8(0x10 * (frame + 1)));
            GstBuffer *buffer = gst_buffer_new_memdup(sent.back().data(), sent.back().size());
            GstSample *sample = gst_sample_new(buffer, (frame == 5 ? shorterCaps : caps).get(), nullptr, nullptr);
            gst_buffer_unref(buffer);
            ASSERT_EQ(gst_app_src_push_sample(GST_APP_SRC(in.get()), sample), GST_FLOW_OK);
            gst_sample_unref(sample);
            kept.emplace_back(gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), 5 * GST_SECOND), gst_sample_unref);
            ASSERT_NE(kept.back(), nullptr) << "no sample for frame " << frame;
            if (frame == 0) { EXPECT_TRUE(GST_MEMORY_IS_READONLY(gst_buffer_peek_memory(gst_sample_get_buffer(kept[0].get()), 0))) << "not lent"; }
        }
        EXPECT_NE(gst_sample_get_buffer(kept[4].get())->pool, nullptr) << "a copy goes into a buffer of the source's pool";
        out.reset();
        receiver.reset();
        for (size_t frame = 0; frame < kept.size(); ++frame) {
            GstMapInfo map;
            ASSERT_TRUE(gst_buffer_map(gst_sample_get_buffer(kept[frame].get()), &map, GST_MAP_READ));
            EXPECT_EQ(std::vector<guint8>(map.data, map.data + map.size), sent[frame]) << "frame " << frame;
            gst_buffer_unmap(gst_sample_get_buffer(kept[frame].get()), &map);
        }
    }
}

// Caps carry the sender's rate from its first half second of stamps, frames missed or not, follow a new sender's,
// and restart unknown.
TEST_F(GstElements, TheSendersRateReachesTheCaps) {
    Pipeline receiver("kivvideosrc transport=tcp stream=21004 ! appsink name=out sync=false");
    ASSERT_NE(receiver.play(), GST_STATE_CHANGE_FAILURE);
    std::unique_ptr<GstElement, Unref> out(receiver.child("out"));
    for (int round = 1; round <= 3; ++round) {
        const int rate = round == 1 ? 50 : 25;
        SCOPED_TRACE(rate);
        g_object_set(out.get(), "max-buffers", guint(round == 1), NULL); // with the slow pulls below, frames are missed
        if (round == 3) { // the source waits on a stream whose sender is gone
            const gint64 stopping = g_get_monotonic_time();
            ASSERT_EQ(receiver.stop(), GST_STATE_CHANGE_SUCCESS);
            EXPECT_LT(g_get_monotonic_time() - stopping, 600'000) << "µs to stop: the wait is not woken";
            ASSERT_NE(receiver.play(), GST_STATE_CHANGE_FAILURE);
        }
        Pipeline sender("videotestsrc is-live=true ! video/x-raw,format=BGRx,width=64,height=48,framerate=" + std::to_string(rate) +
                        "/1 ! kivvideosink sync=false transport=tcp stream=21004"); // a late frame is no frame less
        ASSERT_NE(sender.play(), GST_STATE_CHANGE_FAILURE);
        gint fpsN = 0, fpsD = 1;
        for (int i = 0; i < 150 && (round == 2 ? std::abs(double(fpsN) / fpsD - rate) > 0.05 * rate : fpsN == 0); ++i) {
            GstSample *got = gst_app_sink_try_pull_sample(GST_APP_SINK(out.get()), GST_SECOND);
            ASSERT_NE(got, nullptr) << "no sample";
            gst_structure_get_fraction(gst_caps_get_structure(gst_sample_get_caps(got), 0), "framerate", &fpsN, &fpsD);
            gst_sample_unref(got);
            if (round == 1) g_usleep(100'000);
            if (round == 3 && i == 0) { EXPECT_EQ(fpsN, 0) << "restarted: " << fpsN << "/" << fpsD; }
        }
        EXPECT_NEAR(double(fpsN) / fpsD, rate, 0.05 * rate) << fpsN << "/" << fpsD;
    }
}

TEST_F(GstElements, FailuresAreElementErrorsWithTheLibrarysDetail) {
    Pipeline memorySender("videotestsrc is-live=true ! kivvideosink transport=memory stream=21005");
    Pipeline tcpReceiver("kivvideosrc transport=tcp stream=21006 ! fakesink");
    ASSERT_NE(memorySender.play(), GST_STATE_CHANGE_FAILURE);
    ASSERT_NE(tcpReceiver.play(), GST_STATE_CHANGE_FAILURE);
    const struct { const char *pipeline, *prefix; } cases[] = {
        {"videotestsrc ! kivvideosink stream=21005", "cannot send to 127.0.0.1 stream 21005: "},
        {"kivvideosrc transport=tcp stream=21006 ! fakesink", "cannot receive stream 21006: "},
        {"videotestsrc ! kivvideosink transport=tcp address=no..such stream=21007", "cannot send to no..such"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pipeline);
        Pipeline p(c.pipeline);
        EXPECT_EQ(p.play(), GST_STATE_CHANGE_FAILURE);
        const Message message = p.waitFor(GST_MESSAGE_ERROR);
        ASSERT_NE(message, nullptr);
        GError *error = nullptr;
        gst_message_parse_error(message.get(), &error, nullptr);
        const std::string text = error->message;
        EXPECT_STREQ(g_quark_to_string(error->domain), g_quark_to_string(GST_RESOURCE_ERROR));
        EXPECT_EQ(text.substr(0, std::strlen(c.prefix)), c.prefix);
        EXPECT_GT(text.size(), std::strlen(c.prefix) + 3) << "the reason after the prefix: " << text;
        g_error_free(error);
    }

    // A TCP sink without a receiver keeps trying, and says why nothing arrives, again after a restart.
    Pipeline lonely("videotestsrc is-live=true ! kivvideosink transport=tcp stream=21008");
    for (const char *run : {"first run", "restarted"}) {
        EXPECT_NE(lonely.play(), GST_STATE_CHANGE_FAILURE) << run;
        EXPECT_NE(lonely.waitFor(GST_MESSAGE_WARNING), nullptr) << run;
        lonely.stop();
    }
}

} // namespace
