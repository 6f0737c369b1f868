// SPDX-License-Identifier: MIT
#ifndef GST_KIV_VIDEO_SINK_H
#define GST_KIV_VIDEO_SINK_H

#include <gst/base/gstbasesink.h>

G_BEGIN_DECLS

#define GST_TYPE_KIV_VIDEO_SINK (gst_kiv_video_sink_get_type())
G_DECLARE_FINAL_TYPE(GstKivVideoSink, gst_kiv_video_sink, GST, KIV_VIDEO_SINK, GstBaseSink)

G_END_DECLS

#endif
