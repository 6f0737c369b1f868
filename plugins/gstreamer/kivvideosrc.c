// SPDX-License-Identifier: MIT
/* kivvideosrc: a live source pushing the frames of a kivVidStreamLib2 stream. */
#include "kivvideosrc.h"

#include "kivcommon.h"

#include <math.h>

GST_DEBUG_CATEGORY_STATIC(kiv_src_debug);
#define GST_CAT_DEFAULT kiv_src_debug

enum { PROP_0, PROP_TRANSPORT, PROP_STREAM };

/* unlock() wakes the library's wait, so it can be long. */
#define WAIT_MS 1000
/* The frame rate in the caps is measured over at least this long, from the
 * sender's stamps, and changes only when it moves by more than 5%. */
#define RATE_WINDOW_US 500000

struct _GstKivVideoSrc {
    GstPushSrc parent;

    /* Properties, under the object lock. */
    int transport;
    int stream;

    kivDecoder *decoder;
    GstVideoInfo info; /* of the caps set last; width 0 before the first frame */
    gint flushing;     /* atomic: unlock() asked create() to return */
    GstBufferPool *pool; /* for buffers of `info`; an 8 MB buffer made afresh costs its page faults */
    /* The rate window: the sender's session, frame number and stamp at its start. */
    gboolean window_open;
    guint64 window_session;
    guint32 window_start_number;
    gint64 window_start_us;
};

G_DEFINE_TYPE(GstKivVideoSrc, gst_kiv_video_src, GST_TYPE_PUSH_SRC)

static GstStaticPadTemplate src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_KIV_CAPS));

static void gst_kiv_video_src_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_TRANSPORT: self->transport = g_value_get_enum(value); break;
    case PROP_STREAM: self->stream = g_value_get_int(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

static void gst_kiv_video_src_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(object);
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_TRANSPORT: g_value_set_enum(value, self->transport); break;
    case PROP_STREAM: g_value_set_int(value, self->stream); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    GST_OBJECT_UNLOCK(self);
}

static gboolean gst_kiv_video_src_start(GstBaseSrc *src)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(src);
    GST_OBJECT_LOCK(self);
    int transport = self->transport, stream = self->stream;
    GST_OBJECT_UNLOCK(self);

    gst_video_info_init(&self->info);
    self->decoder = kivGetDecoder(transport, NULL);
    int rc = self->decoder ? KIV_OK : KIV_ERROR_UNSUPPORTED;
    /* Frames queue in arrival order, so a pipeline records every one it keeps up with. */
    if (rc == KIV_OK)
        rc = kivSetAdaptiveBuffer(self->decoder, 0);
    if (rc == KIV_OK)
        rc = kivSetSourceAddress(self->decoder, stream);
    if (rc != KIV_OK) {
        g_autofree gchar *what = g_strdup_printf("cannot receive stream %d", stream);
        GST_KIV_ELEMENT_ERROR(self, OPEN_READ, rc, what);
        g_clear_pointer(&self->decoder, kivDeleteDecoder);
    }
    return self->decoder != NULL;
}

static void drop_pool(GstKivVideoSrc *self)
{
    if (self->pool)
        gst_buffer_pool_set_active(self->pool, FALSE);
    gst_clear_object(&self->pool);
}

static gboolean gst_kiv_video_src_stop(GstBaseSrc *src)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(src);
    g_clear_pointer(&self->decoder, kivDeleteDecoder);
    drop_pool(self);
    return TRUE;
}

static gboolean gst_kiv_video_src_unlock(GstBaseSrc *src)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(src);
    g_atomic_int_set(&self->flushing, 1);
    /* Refused harmlessly when there is no decoder. */
    kivWakeDecoder(self->decoder);
    return TRUE;
}

static gboolean gst_kiv_video_src_unlock_stop(GstBaseSrc *src)
{
    g_atomic_int_set(&GST_KIV_VIDEO_SRC(src)->flushing, 0);
    return TRUE;
}

/* Caps follow the frames: nothing is fixed before the first one arrives. */
static gboolean gst_kiv_video_src_negotiate(GstBaseSrc *src)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(src);
    if (GST_VIDEO_INFO_WIDTH(&self->info) == 0)
        return TRUE;
    GstCaps *caps = gst_video_info_to_caps(&self->info);
    gboolean ok = gst_base_src_set_caps(src, caps);
    gst_caps_unref(caps);
    return ok;
}

static void start_window(GstKivVideoSrc *self, const kivFrameInfo *frame)
{
    self->window_open = TRUE;
    self->window_session = frame->sessionId;
    self->window_start_number = frame->frameNumber;
    self->window_start_us = frame->sendTimeUs;
}

/* The sender's rate, once a window of its stamps is full: 0 until then, and
 * when the rate has not moved by more than 5% from the caps'. Counted by the
 * sender's frame numbers: frames this source missed were sent all the same. */
static gboolean measure_rate(GstKivVideoSrc *self, const kivFrameInfo *frame, gint *fps_n, gint *fps_d)
{
    const gint64 span = frame->sendTimeUs - self->window_start_us;
    const guint32 frames = frame->frameNumber - self->window_start_number; /* numbers wrap */
    if (!self->window_open || frame->sessionId != self->window_session || span < 0 || frames > G_MAXINT32) {
        start_window(self, frame);
        return FALSE;
    }
    if (span < RATE_WINDOW_US)
        return FALSE;
    const double fps = frames * 1e6 / (double)span;
    start_window(self, frame);
    /* The caps' rate, 0/1 while unknown: GstVideoInfo never holds a 0 denominator. */
    const GstVideoInfo *info = &self->info;
    if (fabs(fps - (double)info->fps_n / info->fps_d) <= 0.05 * fps)
        return FALSE;
    gst_util_double_to_fraction(fps, fps_n, fps_d);
    return TRUE;
}

/* Sets caps for the locked frame when its format differs from the last one,
 * or the sender's rate has moved. */
static GstFlowReturn follow_format(GstKivVideoSrc *self, const kivFrameInfo *frame)
{
    kivStreamFormat got = {0, 0, 0, 0};
    kivGetRecvFormat(self->decoder, &got);
    const int width = got.width, height = got.height, depth = got.depth;
    const GstVideoFormat format = gst_kiv_format_for_depth(depth);
    const gboolean same = width == GST_VIDEO_INFO_WIDTH(&self->info) && height == GST_VIDEO_INFO_HEIGHT(&self->info) &&
                          format == GST_VIDEO_INFO_FORMAT(&self->info);
    gint fps_n = GST_VIDEO_INFO_FPS_N(&self->info), fps_d = GST_VIDEO_INFO_FPS_D(&self->info);
    if (!same)
        self->window_open = FALSE; /* a new format, or a restart (start() clears the info): its rate is news */
    const gboolean rate_moved = measure_rate(self, frame, &fps_n, &fps_d);
    if (same && !rate_moved)
        return GST_FLOW_OK;
    if (format == GST_VIDEO_FORMAT_UNKNOWN) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, (NULL), ("the sender uses depth code %d", depth));
        return GST_FLOW_ERROR;
    }
    /* 0/1 (unknown, as set_format leaves it) until a window of the sender's stamps gives the rate. */
    GstVideoInfo info;
    gst_video_info_set_format(&info, format, width, height);
    if (same) {
        GST_VIDEO_INFO_FPS_N(&info) = fps_n;
        GST_VIDEO_INFO_FPS_D(&info) = fps_d;
    }
    GstCaps *caps = gst_video_info_to_caps(&info);
    GST_DEBUG_OBJECT(self, "frames now come as %dx%d %s", width, height, gst_video_format_to_string(format));
    gboolean ok = gst_base_src_set_caps(GST_BASE_SRC(self), caps);
    gst_caps_unref(caps);
    if (!ok) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("downstream refuses %dx%d %s", width, height,
                                                            gst_video_format_to_string(format)));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    self->info = info;
    if (!same)
        drop_pool(self);
    return GST_FLOW_OK;
}

/* A buffer of the size of `info`'s frames, from a pool made for them. */
static GstBuffer *pooled_buffer(GstKivVideoSrc *self)
{
    if (!self->pool) {
        GstBufferPool *pool = gst_video_buffer_pool_new();
        GstStructure *config = gst_buffer_pool_get_config(pool);
        GstCaps *caps = gst_video_info_to_caps(&self->info);
        gst_buffer_pool_config_set_params(config, caps, (guint)GST_VIDEO_INFO_SIZE(&self->info), 2, 0);
        gst_caps_unref(caps);
        if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
            gst_object_unref(pool);
            return gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&self->info), NULL);
        }
        self->pool = pool;
    }
    GstBuffer *buffer = NULL;
    if (gst_buffer_pool_acquire_buffer(self->pool, &buffer, NULL) != GST_FLOW_OK)
        return gst_buffer_new_allocate(NULL, GST_VIDEO_INFO_SIZE(&self->info), NULL);
    return buffer;
}

static void return_frame(gpointer lent)
{
    kivReturnFrame((kivLentFrame *)lent);
}

/* The next frame: lent, so that downstream gets the library's own memory
 * (read-only; an element that writes gets a copy from GStreamer), or, while
 * downstream keeps as many lent frames as the library gives, locked and
 * copied into a pooled buffer. NULL with the library's error otherwise. */
static const guint8 *next_frame(GstKivVideoSrc *self, kivLentFrame **lent, kivFrameInfo *info, int *rc)
{
    const void *pixels = NULL;
    *lent = kivLendFrame(self->decoder, WAIT_MS, &pixels, info);
    if (*lent) {
        *rc = KIV_OK;
        return pixels;
    }
    *rc = kivLastError();
    if (*rc != KIV_ERROR_BUSY)
        return NULL;
    pixels = kivLockReadBuffer(self->decoder, WAIT_MS);
    *rc = pixels ? kivGetRecvFrameInfo(self->decoder, info) : kivLastError();
    return pixels;
}

static GstFlowReturn gst_kiv_video_src_create(GstPushSrc *push, GstBuffer **out)
{
    GstKivVideoSrc *self = GST_KIV_VIDEO_SRC(push);
    const guint8 *pixels = NULL;
    kivLentFrame *lent = NULL;
    kivFrameInfo frame_info;
    while (pixels == NULL) {
        if (g_atomic_int_get(&self->flushing))
            return GST_FLOW_FLUSHING;
        int rc;
        pixels = next_frame(self, &lent, &frame_info, &rc);
        if (rc != KIV_OK && rc != KIV_ERROR_TIMEOUT && rc != KIV_ERROR_INTERRUPTED) {
            GST_KIV_ELEMENT_ERROR(self, READ, rc, "cannot receive a frame");
            return GST_FLOW_ERROR;
        }
    }
    GstFlowReturn ret = follow_format(self, &frame_info);
    /* The library's rows are padded to 4 bytes, as GStreamer's default
     * strides of these formats are, so the frame is the buffer as it is. */
    const gsize size = frame_info.imageBytes;
    if (ret == GST_FLOW_OK && size != GST_VIDEO_INFO_SIZE(&self->info)) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT, (NULL), ("a frame of %" G_GSIZE_FORMAT " bytes for %" G_GSIZE_FORMAT,
                                                         size, GST_VIDEO_INFO_SIZE(&self->info)));
        ret = GST_FLOW_ERROR;
    }
    if (ret == GST_FLOW_OK && lent) {
        *out = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, (gpointer)pixels, size, 0, size, lent, return_frame);
        return GST_FLOW_OK;
    }
    if (ret == GST_FLOW_OK) {
        *out = pooled_buffer(self);
        gst_buffer_fill(*out, 0, pixels, size);
    }
    if (lent)
        kivReturnFrame(lent);
    else
        kivUnlockReadBuffer(self->decoder);
    return ret;
}

static void gst_kiv_video_src_class_init(GstKivVideoSrcClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base_class = GST_BASE_SRC_CLASS(klass);

    object_class->set_property = gst_kiv_video_src_set_property;
    object_class->get_property = gst_kiv_video_src_get_property;
    const GParamFlags flags = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;
    g_object_class_install_property(
        object_class, PROP_TRANSPORT,
        g_param_spec_enum("transport", "Transport", "How frames travel", GST_TYPE_KIV_TRANSPORT,
                          GST_KIV_DEFAULT_TRANSPORT, flags));
    g_object_class_install_property(
        object_class, PROP_STREAM,
        g_param_spec_int("stream", "Stream", "TCP/UDP port or shared-memory channel (the tester's channel N is 10588 + N)",
                         1, 65535, GST_KIV_DEFAULT_STREAM, flags));

    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(element_class, "kivVidStreamLib2 video source", "Source/Video/Network",
                                          "Receives kivVidStreamLib2 frames over shared memory, TCP or UDP",
                                          "kivVidStreamTester maintainers");

    base_class->start = GST_DEBUG_FUNCPTR(gst_kiv_video_src_start);
    base_class->stop = GST_DEBUG_FUNCPTR(gst_kiv_video_src_stop);
    base_class->unlock = GST_DEBUG_FUNCPTR(gst_kiv_video_src_unlock);
    base_class->unlock_stop = GST_DEBUG_FUNCPTR(gst_kiv_video_src_unlock_stop);
    base_class->negotiate = GST_DEBUG_FUNCPTR(gst_kiv_video_src_negotiate);
    GST_PUSH_SRC_CLASS(klass)->create = GST_DEBUG_FUNCPTR(gst_kiv_video_src_create);
    GST_DEBUG_CATEGORY_INIT(kiv_src_debug, "kivvideosrc", 0, "kivVidStreamLib2 video source");
}

static void gst_kiv_video_src_init(GstKivVideoSrc *self)
{
    self->transport = GST_KIV_DEFAULT_TRANSPORT;
    self->stream = GST_KIV_DEFAULT_STREAM;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    /* Encoders and muxers need times; a live source stamps its buffers. */
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), TRUE);
}
