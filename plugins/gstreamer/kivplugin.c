// SPDX-License-Identifier: MIT
/* The "kiv" plugin: kivvideosink and kivvideosrc. */
#include "kivcommon.h"
#include "kivvideosink.h"
#include "kivvideosrc.h"

GType gst_kiv_transport_get_type(void)
{
    static gsize type = 0;
    static const GEnumValue values[] = {
        {KIV_PROTOCOL_MEMORY, "Local (Memory): shared memory of this user", "memory"},
        {KIV_PROTOCOL_TCP, "Remote (TCP): the receiver listens on port = stream", "tcp"},
        {KIV_PROTOCOL_UDP, "Multicast (UDP): unicast or multicast datagrams to port = stream", "udp"},
        {0, NULL, NULL},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstKivTransport", values));
    return type;
}

static const struct {
    GstVideoFormat format;
    int depth;
} format_map[] = {
    {GST_VIDEO_FORMAT_RGB16, KIV_DEPTH_16},
    {GST_VIDEO_FORMAT_RGB, KIV_DEPTH_24},
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
    {GST_VIDEO_FORMAT_BGRx, KIV_DEPTH_32},
#else
    {GST_VIDEO_FORMAT_xRGB, KIV_DEPTH_32},
#endif
    {GST_VIDEO_FORMAT_GRAY8, KIV_DEPTH_8},
};

int gst_kiv_depth_for_format(GstVideoFormat format)
{
    for (gsize i = 0; i < G_N_ELEMENTS(format_map); i++)
        if (format_map[i].format == format)
            return format_map[i].depth;
    return -1;
}

GstVideoFormat gst_kiv_format_for_depth(int depth)
{
    for (gsize i = 0; i < G_N_ELEMENTS(format_map); i++)
        if (format_map[i].depth == depth)
            return format_map[i].format;
    return GST_VIDEO_FORMAT_UNKNOWN;
}

static gboolean plugin_init(GstPlugin *plugin)
{
    gst_type_mark_as_plugin_api(GST_TYPE_KIV_TRANSPORT, 0);
    return gst_element_register(plugin, "kivvideosink", GST_RANK_NONE, GST_TYPE_KIV_VIDEO_SINK) &&
           gst_element_register(plugin, "kivvideosrc", GST_RANK_NONE, GST_TYPE_KIV_VIDEO_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kiv,
                  "Sends and receives video through kivVidStreamLib2", plugin_init, KIV_PLUGIN_VERSION,
                  "MIT/X11", "kivVidStreamTester", "kivVidStreamTester")
