// SPDX-License-Identifier: MIT
/* What both elements share: the transport enum, the mapping between GStreamer
 * formats and the library's depth codes, and error posting. */
#ifndef GST_KIV_COMMON_H
#define GST_KIV_COMMON_H

#include <gst/gst.h>
#include <gst/video/video.h>
#include <kivVidStreamLib2.h>

G_BEGIN_DECLS

#define GST_KIV_DEFAULT_STREAM 10588 /* the tester's channel 0 */
#define GST_KIV_DEFAULT_TRANSPORT KIV_PROTOCOL_MEMORY

/* The library's 32-bit pixels are native 0xffRRGGBB words. */
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
#define GST_KIV_FORMAT_32 "BGRx"
#else
#define GST_KIV_FORMAT_32 "xRGB"
#endif

#define GST_KIV_CAPS                                                      \
    "video/x-raw, format = (string) { RGB16, RGB, " GST_KIV_FORMAT_32     \
    ", GRAY8 }, width = (int) [ 1, 65535 ], height = (int) [ 1, 65535 ], " \
    "framerate = (fraction) [ 0/1, MAX ]"

/* Enum type of the `transport` property; values are the KIV_PROTOCOL_* codes. */
GType gst_kiv_transport_get_type(void);
#define GST_TYPE_KIV_TRANSPORT (gst_kiv_transport_get_type())

/* -1 for a format the library does not carry. */
int gst_kiv_depth_for_format(GstVideoFormat format);
/* GST_VIDEO_FORMAT_UNKNOWN for an unknown depth code. */
GstVideoFormat gst_kiv_format_for_depth(int depth);

/* Posts a RESOURCE error whose message carries the library's detail of the
 * calling thread's last failure; `rc` (a KIV_ERROR_* code) goes into the debug text. */
#define GST_KIV_ELEMENT_ERROR(el, code, rc, what)                                           \
    GST_ELEMENT_ERROR((el), RESOURCE, code, ("%s: %s", (what), kivLastErrorDetail()),   \
                      ("%s (%d)", kivErrorString(rc), (int)(rc)))

G_END_DECLS

#endif
