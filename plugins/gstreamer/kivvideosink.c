// SPDX-License-Identifier: MIT
/* kivvideosink: sends each buffer as one frame of a kivVidStreamLib2 stream. */
#include "kivvideosink.h"

#include <string.h>

#include "kivcommon.h"

GST_DEBUG_CATEGORY_STATIC(kiv_sink_debug);
#define GST_CAT_DEFAULT kiv_sink_debug

enum { PROP_0, PROP_TRANSPORT, PROP_ADDRESS, PROP_STREAM, PROP_JPEG_LEVEL };

#define DEFAULT_ADDRESS "127.0.0.1"

struct _GstKivVideoSink {
    GstBaseSink parent;

    /* Properties, under the object lock. */
    int transport;
    gchar *address;
    int stream;
    int jpeg_level;

    /* Streaming state, from start() to stop(). */
    kivEncoder *encoder;
    GstVideoInfo info;
    guint32 pitch;       /* bytes per row the library expects */
    guint32 frame_bytes; /* kivGetByteSize() of the current format */
    guint8 *staging;     /* frame_bytes, for buffers whose rows are laid out otherwise */
    int link;            /* KIV_LINK_* after the last frame */
};

G_DEFINE_TYPE(GstKivVideoSink, gst_kiv_video_sink, GST_TYPE_BASE_SINK)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_KIV_CAPS));

static void gst_kiv_video_sink_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_TRANSPORT: self->transport = g_value_get_enum(value); break;
    case PROP_ADDRESS:
        g_free(self->address);
        self->address = g_value_dup_string(value);
        break;
    case PROP_STREAM: self->stream = g_value_get_int(value); break;
    case PROP_JPEG_LEVEL: self->jpeg_level = g_value_get_int(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void gst_kiv_video_sink_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_TRANSPORT: g_value_set_enum(value, self->transport); break;
    case PROP_ADDRESS: g_value_set_string(value, self->address); break;
    case PROP_STREAM: g_value_set_int(value, self->stream); break;
    case PROP_JPEG_LEVEL: g_value_set_int(value, self->jpeg_level); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

static gboolean gst_kiv_video_sink_start(GstBaseSink *sink)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(sink);
    GST_OBJECT_LOCK(self);
    int transport = self->transport, stream = self->stream;
    g_autofree gchar *address = g_strdup(self->address);
    GST_OBJECT_UNLOCK(self);

    /* The real format comes with the caps; the destination is opened now so
     * that a busy stream or a bad address fails the state change. */
    const kivStreamFormat placeholder = {1, 1, KIV_DEPTH_8, KIV_ORIENTATION_TOP_DOWN};
    self->encoder = kivGetEncoder(transport, &placeholder);
    self->link = KIV_LINK_IDLE;
    int rc = self->encoder ? kivSetDestAddress(self->encoder, address, stream) : KIV_ERROR_UNSUPPORTED;
    if (rc != KIV_OK) {
        g_autofree gchar *what = g_strdup_printf("cannot send to %s stream %d", address ? address : "", stream);
        GST_KIV_ELEMENT_ERROR(self, OPEN_WRITE, rc, what);
        g_clear_pointer(&self->encoder, kivDeleteEncoder);
    }
    return self->encoder != NULL;
}

static gboolean gst_kiv_video_sink_stop(GstBaseSink *sink)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(sink);
    g_clear_pointer(&self->encoder, kivDeleteEncoder);
    g_clear_pointer(&self->staging, g_free);
    self->frame_bytes = 0;
    return TRUE;
}

static gboolean gst_kiv_video_sink_set_caps(GstBaseSink *sink, GstCaps *caps)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(sink);
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        return FALSE;
    const kivStreamFormat format = {(uint16_t)GST_VIDEO_INFO_WIDTH(&info), (uint16_t)GST_VIDEO_INFO_HEIGHT(&info),
                                    (uint16_t)gst_kiv_depth_for_format(GST_VIDEO_INFO_FORMAT(&info)),
                                    KIV_ORIENTATION_TOP_DOWN};
    GST_OBJECT_LOCK(self);
    int level = self->jpeg_level;
    GST_OBJECT_UNLOCK(self);

    int rc = kivSetDestFormat(self->encoder, &format, level >= 0, level >= 0 ? level : 0);
    if (rc != KIV_OK) {
        GST_KIV_ELEMENT_ERROR(self, SETTINGS, rc, "cannot send this format");
        return FALSE;
    }
    self->info = info;
    self->pitch = kivGetRowPitch(format.width, format.depth);
    self->frame_bytes = kivGetByteSize(&format);
    g_free(self->staging);
    /* Zeroed once: the row copies never touch the padding. */
    self->staging = g_malloc0(self->frame_bytes);
    return TRUE;
}

static gboolean gst_kiv_video_sink_propose_allocation(GstBaseSink *sink, GstQuery *query)
{
    (void)sink;
    /* Any row stride is fine: rows that differ from the library's are copied. */
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, NULL);
    return TRUE;
}

static GstFlowReturn gst_kiv_video_sink_render(GstBaseSink *sink, GstBuffer *buffer)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(sink);
    GstVideoFrame frame;
    if (self->frame_bytes == 0) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("a buffer came before the caps"));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    if (!gst_video_frame_map(&frame, &self->info, buffer, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(self, STREAM, FAILED, (NULL), ("cannot map a buffer of %" G_GSIZE_FORMAT " bytes",
                                                         gst_buffer_get_size(buffer)));
        return GST_FLOW_ERROR;
    }
    const guint8 *rows = GST_VIDEO_FRAME_PLANE_DATA(&frame, 0);
    const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const gsize mapped = frame.map[0].size - (gsize)(rows - (const guint8 *)frame.map[0].data);
    const void *pixels = rows;
    if (stride != (gint)self->pitch || mapped < self->frame_bytes) {
        const gsize row_bytes = (gsize)GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0) * GST_VIDEO_FRAME_WIDTH(&frame);
        for (gint y = 0; y < GST_VIDEO_FRAME_HEIGHT(&frame); y++)
            memcpy(self->staging + (gsize)y * self->pitch, rows + (gssize)y * stride, row_bytes);
        pixels = self->staging;
    }
    int rc = kivEncode(self->encoder, pixels);
    gst_video_frame_unmap(&frame);
    if (rc != KIV_OK) {
        GST_KIV_ELEMENT_ERROR(self, WRITE, rc, "cannot send a frame");
        return GST_FLOW_ERROR;
    }
    /* A TCP receiver that is gone or not there yet is no error (the library
     * keeps reconnecting), but the user should learn why nothing arrives. */
    const int link = kivGetEncoderLink(self->encoder);
    if (link == KIV_LINK_DOWN && self->link != KIV_LINK_DOWN)
        GST_ELEMENT_WARNING(self, RESOURCE, WRITE, ("frames are not getting through: %s", kivLastErrorDetail()),
                            ("%s", kivErrorString(kivLastError())));
    self->link = link;
    return GST_FLOW_OK;
}

static void gst_kiv_video_sink_finalize(GObject *object)
{
    GstKivVideoSink *self = GST_KIV_VIDEO_SINK(object);
    g_free(self->address);
    G_OBJECT_CLASS(gst_kiv_video_sink_parent_class)->finalize(object);
}

static void gst_kiv_video_sink_class_init(GstKivVideoSinkClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSinkClass *sink_class = GST_BASE_SINK_CLASS(klass);

    object_class->set_property = gst_kiv_video_sink_set_property;
    object_class->get_property = gst_kiv_video_sink_get_property;
    object_class->finalize = gst_kiv_video_sink_finalize;
    const GParamFlags flags = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;
    g_object_class_install_property(
        object_class, PROP_TRANSPORT,
        g_param_spec_enum("transport", "Transport", "How frames travel", GST_TYPE_KIV_TRANSPORT,
                          GST_KIV_DEFAULT_TRANSPORT, flags));
    g_object_class_install_property(
        object_class, PROP_ADDRESS,
        g_param_spec_string("address", "Address",
                            "Receiver: IPv4/IPv6 literal or host name (TCP), unicast or multicast IPv4 "
                            "address (UDP); unused for memory",
                            DEFAULT_ADDRESS, flags));
    g_object_class_install_property(
        object_class, PROP_STREAM,
        g_param_spec_int("stream", "Stream", "TCP/UDP port or shared-memory channel (the tester's channel N is 10588 + N)",
                         1, 65535, GST_KIV_DEFAULT_STREAM, flags));
    g_object_class_install_property(
        object_class, PROP_JPEG_LEVEL,
        g_param_spec_int("jpeg-level", "JPEG level",
                         "-1 sends raw frames; 0..100 compresses to JPEG, 0 least (quality = max(1, 100 - level))",
                         -1, 100, -1, flags));

    gst_element_class_add_static_pad_template(element_class, &sink_template);
    gst_element_class_set_static_metadata(element_class, "kivVidStreamLib2 video sink", "Sink/Video/Network",
                                          "Sends raw video as kivVidStreamLib2 frames over shared memory, TCP or UDP",
                                          "kivVidStreamTester maintainers");

    sink_class->start = GST_DEBUG_FUNCPTR(gst_kiv_video_sink_start);
    sink_class->stop = GST_DEBUG_FUNCPTR(gst_kiv_video_sink_stop);
    sink_class->set_caps = GST_DEBUG_FUNCPTR(gst_kiv_video_sink_set_caps);
    sink_class->propose_allocation = GST_DEBUG_FUNCPTR(gst_kiv_video_sink_propose_allocation);
    sink_class->render = GST_DEBUG_FUNCPTR(gst_kiv_video_sink_render);
    GST_DEBUG_CATEGORY_INIT(kiv_sink_debug, "kivvideosink", 0, "kivVidStreamLib2 video sink");
}

static void gst_kiv_video_sink_init(GstKivVideoSink *self)
{
    self->transport = GST_KIV_DEFAULT_TRANSPORT;
    self->address = g_strdup(DEFAULT_ADDRESS);
    self->stream = GST_KIV_DEFAULT_STREAM;
    self->jpeg_level = -1;
}
