// SPDX-License-Identifier: MIT
#ifndef GST_KIV_VIDEO_SRC_H
#define GST_KIV_VIDEO_SRC_H

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_KIV_VIDEO_SRC (gst_kiv_video_src_get_type())
G_DECLARE_FINAL_TYPE(GstKivVideoSrc, gst_kiv_video_src, GST, KIV_VIDEO_SRC, GstPushSrc)

G_END_DECLS

#endif
