// SPDX-License-Identifier: MIT
/*
 * kivVidStreamLib2 - carries uncompressed or JPEG-compressed video frames from
 * encoders to decoders over shared memory, TCP or UDP (unicast and multicast).
 *
 * Conventions that hold for every declaration below:
 *  - Every `int` result is KIV_OK (0) on success and a negative KIV_ERROR_* code
 *    otherwise; kivErrorString() turns a code into text and kivLastErrorDetail()
 *    says what went wrong in the calling thread's most recent failed call.
 *    Every other call clears or sets that record; kivLastError(),
 *    kivLastErrorDetail(), kivErrorString() and kivVersionNumber() leave it as
 *    it is, so they may be called in any order after a failure.
 *  - Every call accepts a NULL handle and then returns KIV_ERROR_INVALID_HANDLE,
 *    NULL or 0. A handle is an opaque token, never the address of an object, and
 *    is never handed out twice in a process: a value the library did not hand
 *    out, or a handle already deleted, is refused the same way, even after new
 *    encoders and decoders have been created.
 *  - The library writes nothing to stdout or stderr; what a caller may want to
 *    tell its user is readable through the calls below.
 *  - Structures the library fills may grow at their end in a later minor
 *    version. Every symbol is versioned (KIV_2.0, and KIV_2.1 to KIV_2.3 for
 *    the calls marked "since 2.1" to "since 2.3"), and a program built against this header keeps
 *    getting exactly the structures it knows.
 *  - The library copies what it keeps: format records and address texts may be
 *    freed as soon as the call returns.
 *  - No call lets a C++ exception escape.
 *  - One handle may be used from several threads only where a declaration says
 *    so; different handles are independent.
 *
 * Pixel layout of a frame: rows top to bottom (orientation 1), each row padded
 * to a multiple of 4 bytes. Depth codes: 16-bit RGB565 in native 16-bit words,
 * 24-bit R,G,B bytes, 32-bit native 32-bit words 0xffRRGGBB (B,G,R,X bytes in
 * memory on little-endian hosts), 8-bit grey.
 */
#ifndef KIV_VID_STREAM_LIB2_H
#define KIV_VID_STREAM_LIB2_H

#include <stdint.h>

#if defined(_WIN32)
#define KIV_API
#elif defined(KIV_BUILDING_LIBRARY)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ----------------------------------------------------------- */

#define KIV_VERSION_MAJOR 2
#define KIV_VERSION_MINOR 3
#define KIV_VERSION_PATCH 0
/** The version as one number: major * 10000 + minor * 100 + patch. */
#define KIV_VERSION_NUMBER (KIV_VERSION_MAJOR * 10000 + KIV_VERSION_MINOR * 100 + KIV_VERSION_PATCH)

/** Version of the library loaded at run time, in the form of KIV_VERSION_NUMBER.
 *  Any thread. */
KIV_API int kivVersionNumber(void);

/* ---- Codes ------------------------------------------------------------- */

/** Protocol codes for kivGetEncoder() and kivGetDecoder(). */
#define KIV_PROTOCOL_UDP 1    /**< "Multicast (UDP)": unicast or multicast datagrams */
#define KIV_PROTOCOL_TCP 2    /**< "Remote (TCP)": the decoder listens, the encoder connects */
#define KIV_PROTOCOL_MEMORY 3 /**< "Local (Memory)": shared memory between processes of one user */

/** Depth codes of kivStreamFormat.depth. */
#define KIV_DEPTH_16 0 /**< RGB565, 2 bytes per pixel */
#define KIV_DEPTH_24 1 /**< R, G, B bytes, 3 bytes per pixel */
#define KIV_DEPTH_32 2 /**< 0xffRRGGBB words, 4 bytes per pixel */
#define KIV_DEPTH_8 3  /**< grey, 1 byte per pixel */

/** Orientation 1: rows run top to bottom. The library carries any value unchanged. */
#define KIV_ORIENTATION_TOP_DOWN 1

/** Multicast group that UDP decoders join. The environment variable
 *  KIVSTREAM_MULTICAST_GROUP overrides it for decoders created afterwards. */
#define KIV_MULTICAST_GROUP "239.255.10.88"

/** Largest frame, in bytes, that the library sends or accepts (64 MiB). */
#define KIV_MAX_FRAME_BYTES (64u * 1024u * 1024u)

/** Status codes. Never renumbered. */
#define KIV_OK 0
#define KIV_ERROR_INVALID_HANDLE (-1)   /**< NULL, foreign or deleted handle */
#define KIV_ERROR_INVALID_ARGUMENT (-2) /**< an argument is out of its documented range */
#define KIV_ERROR_UNSUPPORTED (-3)      /**< protocol or feature not available in this build */
#define KIV_ERROR_NO_MEMORY (-4)        /**< an allocation failed */
#define KIV_ERROR_BUSY (-5)             /**< the stream or port is taken by another sender or program */
#define KIV_ERROR_ADDRESS (-6)          /**< the address cannot be parsed or resolved */
#define KIV_ERROR_IO (-7)               /**< a system call failed */
#define KIV_ERROR_STATE (-8)            /**< call out of order, e.g. encode before a destination is set */
#define KIV_ERROR_TOO_LARGE (-9)        /**< the frame exceeds KIV_MAX_FRAME_BYTES or 32 bits */
#define KIV_ERROR_PERMISSION (-10)      /**< a resource belongs to someone else */
#define KIV_ERROR_INTERNAL (-11)        /**< a fault inside the library */
#define KIV_ERROR_TIMEOUT (-12)         /**< nothing came before the deadline */
#define KIV_ERROR_INTERRUPTED (-13)     /**< kivWakeDecoder() ended the wait (since 2.2) */

/** Static English text for a status code; unknown codes give "unknown error".
 *  Never NULL; the caller must not free it. Any thread. */
KIV_API const char *kivErrorString(int code);

/** Detail of the most recent failure of a library call made by the calling
 *  thread ("port 10588 is already in use", ...), or "" if there was none.
 *  Valid until the thread's next library call; do not free. */
KIV_API const char *kivLastErrorDetail(void);

/** Code of the calling thread's most recent failed library call, the one that
 *  kivLastErrorDetail() describes, or KIV_OK if there was none. Any thread. */
KIV_API int kivLastError(void);

/* ---- Frame format ------------------------------------------------------ */

/** Format of a stream. width and height in pixels, depth a KIV_DEPTH_* code,
 *  orientation carried unchanged from encoder to decoder. */
typedef struct kivStreamFormat {
    uint16_t width, height, depth, orientation;
} kivStreamFormat;

/** Bytes of one uncompressed frame of `format`:
 *  height * (width * bytes per pixel rounded up to a multiple of 4), computed in
 *  64 bits. 0 for NULL, for an unknown depth code, and for a size that does not
 *  fit in 32 bits, so no caller copies a wrapped-around size. Any thread. */
KIV_API uint32_t kivGetByteSize(const kivStreamFormat *format);

/** Bytes from the start of one row to the next: width * bytes per pixel,
 *  rounded up to a multiple of 4. 0 for an unknown depth code. Any thread. */
KIV_API uint32_t kivGetRowPitch(uint16_t width, uint16_t depth);

/* ---- Encoder ----------------------------------------------------------- */

typedef struct kivEncoder kivEncoder;

/** Creates an encoder for `protocol` (KIV_PROTOCOL_*) sending frames of
 *  `format` (copied). Returns NULL for an unknown or unavailable protocol, a
 *  NULL format, an unknown depth or a frame larger than KIV_MAX_FRAME_BYTES.
 *  Nothing is sent until kivSetDestAddress() succeeds. Release with
 *  kivDeleteEncoder(). Any thread; one encoder is used by one thread at a time. */
KIV_API kivEncoder *kivGetEncoder(int protocol, const kivStreamFormat *format);

/** Sets where frames go and opens the transport. `address` is NUL-terminated
 *  text, copied: an IPv4 or IPv6 literal or a host name for TCP; a unicast or
 *  multicast IPv4 address for UDP; ignored (may be NULL) for shared memory.
 *  `stream` is 1..65535: the TCP or UDP port, or the shared-memory channel.
 *  A second call moves the encoder to the new destination.
 *  KIV_ERROR_BUSY: another live encoder already sends on this shared-memory
 *  stream. KIV_ERROR_ADDRESS: the address is malformed (names are resolved in
 *  the background; a name that never resolves just sends nothing). */
KIV_API int kivSetDestAddress(kivEncoder *encoder, const char *address, int stream);

/** Changes the format (copied) and the compression. `compress` is 0 (raw) or
 *  1 (JPEG). `level` is 0..100, the "Compression Level": 0 compresses least,
 *  100 most; JPEG quality = max(1, 100 - level). Colour frames keep full
 *  chroma (4:4:4) at quality 90 and above and use 4:2:0 below; 8-bit frames
 *  travel as grey JPEG. Frames under 512x512 pixels are copied by kivEncode()
 *  and compressed by the thread that sends them. Larger frames are compressed
 *  during kivEncode(), in stripes on a process-wide pool of one thread per
 *  core, straight from the caller's pixels: no copy, and about the time the
 *  copy would take on two cores (less on more). Decoding uses the pool alike. A frame whose JPEG would be no smaller than the frame is
 *  sent raw (see kivEncoderStats.framesSentRaw). The level is checked even
 *  when compress is 0. Receivers follow a format change by themselves. */
KIV_API int kivSetDestFormat(kivEncoder *encoder, const kivStreamFormat *format, int compress, int level);

/** Sends one frame: reads exactly kivGetByteSize(format) bytes from `pixels`
 *  (layout: see the top of this file) and returns once they are copied (or,
 *  for a large JPEG frame, compressed: see kivSetDestFormat()). Over
 *  Multicast (UDP), while the caller is a frame ahead of the sending thread,
 *  the copy of a raw frame also takes its checksum and parity
 *  (kivSetFecRedundancy()) in the same pass, which takes that work off the
 *  sending thread: about 3 ms more for a 1920x1080x32 frame. Never waits
 *  for a receiver or the network: if the transport is still busy with an
 *  older frame, the older unsent frame is replaced and counted as dropped.
 *  Frames leave in the order of the calls, whatever their compression.
 *  Returns, alike for raw, JPEG and striped JPEG frames: KIV_OK once the
 *  frame is taken (counted in framesEncoded); KIV_ERROR_STATE before a
 *  destination is set; KIV_ERROR_INVALID_ARGUMENT for NULL `pixels` (a
 *  frame of 0 bytes may pass NULL); KIV_ERROR_NO_MEMORY when no buffer for
 *  the frame can be had; KIV_ERROR_INVALID_HANDLE. What becomes of a taken
 *  frame is counted, never returned: replaced before it was sent, refused by
 *  the codec, or refused by the destination (Local (Memory): /dev/shm full)
 *  adds to framesDropped; a destination that refuses frames shows as
 *  KIV_LINK_DOWN in kivGetEncoderLink(). */
KIV_API int kivEncode(kivEncoder *encoder, const void *pixels);

/** Stops sending, releases every resource of the encoder and frees it.
 *  The handle is invalid afterwards. NULL gives KIV_ERROR_INVALID_HANDLE and
 *  does nothing else. */
KIV_API int kivDeleteEncoder(kivEncoder *encoder);

/** Link states of an encoder, the results of kivGetEncoderLink(). */
#define KIV_LINK_IDLE 0       /**< no destination set */
#define KIV_LINK_CONNECTING 1 /**< TCP: resolving or connecting, no attempt has failed yet */
#define KIV_LINK_UP 2         /**< frames can leave: TCP connected; UDP and memory open, memory's last frame written */
#define KIV_LINK_DOWN 3       /**< the last attempt failed (see kivLastErrorDetail()); the encoder keeps retrying */

/** Whether frames can reach a receiver now: a KIV_LINK_* state (>= 0), or a
 *  negative KIV_ERROR_* code. For KIV_LINK_DOWN the calling thread's
 *  kivLastErrorDetail() says why ("cannot resolve ...", "connection refused by
 *  ...") and kivLastError() is the matching code. Never waits. Any thread. */
KIV_API int kivGetEncoderLink(kivEncoder *encoder);

/** Counters of an encoder since it was created. */
typedef struct kivEncoderStats {
    uint64_t framesEncoded; /**< successful kivEncode() calls */
    uint64_t framesSent;    /**< frames handed completely to the transport */
    uint64_t framesDropped; /**< frames replaced before they were sent, failed to compress, or refused by the destination */
    uint64_t bytesSent;     /**< payload bytes of the frames sent (compressed size for JPEG) */
    uint64_t framesSentRaw; /**< frames that went raw although compression is on: their JPEG was no smaller */
} kivEncoderStats;

/** Fills `stats`. Any thread, also while another thread encodes. */
KIV_API int kivGetEncoderStats(kivEncoder *encoder, kivEncoderStats *stats);

/* ---- Decoder ----------------------------------------------------------- */

typedef struct kivDecoder kivDecoder;

/** Creates a decoder for `protocol`. `format` is only a hint and may be NULL:
 *  frames are delivered in the format they were sent in. Returns NULL for an
 *  unknown or unavailable protocol. Nothing is received until
 *  kivSetSourceAddress() succeeds. Release with kivDeleteDecoder(). */
KIV_API kivDecoder *kivGetDecoder(int protocol, const kivStreamFormat *format);

/** Starts receiving `stream` (1..65535): listens on that TCP port or binds
 *  that UDP port (and joins KIV_MULTICAST_GROUP) and receives on a background
 *  thread, or follows that shared-memory channel, which kivLockReadBuffer()
 *  reads on the caller's thread. KIV_ERROR_BUSY when the TCP port is taken;
 *  the decoder then stays harmless and kivLockReadBuffer() returns NULL.
 *  A second call moves the decoder to the new stream. */
KIV_API int kivSetSourceAddress(kivDecoder *decoder, int stream);

/** 1 (the default): a slow reader gets the newest frame and older unread ones
 *  are dropped and counted. 0: up to 4 frames queue in arrival order; when the
 *  queue is full the oldest is dropped and counted. Neither blocks a sender. */
KIV_API int kivSetAdaptiveBuffer(kivDecoder *decoder, int enabled);

/** Locks the next frame not yet handed out and returns its first byte, or
 *  NULL when none is ready, when a frame is already locked, for a decoder with
 *  no source, and for a NULL or invalid handle. `timeoutMs` 0 returns at once;
 *  a positive value waits up to that many milliseconds and wakes as soon as a
 *  frame arrives. The kivGetByteSize() bytes of the frame stay valid and
 *  unchanged until kivUnlockReadBuffer(); the memory is read-only. For shared
 *  memory (unless kivGetDecoderFd() was called) the pointer is into the
 *  sender's slot itself, which the sender leaves alone while it is locked:
 *  no copy is made, and a sender whose every slot is locked drops its frames
 *  (kivEncoderStats.framesDropped) rather than wait, so unlock soon.
 *  Raw frames only: JPEG frames are
 *  decoded before they are handed out, on the calling thread (large frames on
 *  the process-wide pool). One reading thread per decoder.
 *  On NULL, kivLastError() tells the cases apart: KIV_ERROR_TIMEOUT (nothing
 *  came in time), KIV_ERROR_STATE (a frame is already locked, or no source is
 *  set), KIV_ERROR_INVALID_HANDLE, and since 2.2 KIV_ERROR_INTERRUPTED
 *  (see kivWakeDecoder()). */
KIV_API const void *kivLockReadBuffer(kivDecoder *decoder, int timeoutMs);

/** Releases the frame locked by kivLockReadBuffer(). KIV_ERROR_STATE if no
 *  frame is locked. */
KIV_API int kivUnlockReadBuffer(kivDecoder *decoder);

/** Since 2.2. A file descriptor to wait on with poll(), select() or epoll
 *  instead of waiting in kivLockReadBuffer(): it is readable (POLLIN) while
 *  kivLockReadBuffer() would return at once, because a frame is ready or a
 *  kivWakeDecoder() is pending. It may now and then be readable with nothing
 *  there; the kivLockReadBuffer(decoder, 0) that then returns NULL makes it
 *  unreadable again. The decoder owns the descriptor: do not read, write or
 *  close it; it stays the same for the decoder's life (across
 *  kivSetSourceAddress()) and is closed by kivDeleteDecoder().
 *  Returns the descriptor (>= 0), or a negative KIV_ERROR_* code
 *  (KIV_ERROR_IO when the system has no descriptor to spare).
 *  For shared memory the first call starts a thread in the decoder that
 *  watches the channel and copies frames out ahead of the reader.
 *  Call from the reading thread. */
KIV_API int kivGetDecoderFd(kivDecoder *decoder);

/** Since 2.2. Makes the kivLockReadBuffer() waiting now on another thread
 *  return NULL at once with kivLastError() KIV_ERROR_INTERRUPTED; if none is
 *  waiting, the next call that finds no frame ready returns so instead of
 *  waiting (and kivGetDecoderFd() is readable until then). A frame that is
 *  ready is still handed out. Several wakes before that call count as one;
 *  kivSetSourceAddress() forgets a pending wake. Never waits. Any thread, also
 *  while another thread reads. */
KIV_API int kivWakeDecoder(kivDecoder *decoder);

/** Since 2.2. Fills `format` with the format of the frame locked now, or of
 *  the last one locked; all zeros before the first frame. Every field comes
 *  as the sender stamped it, orientation included.
 *  KIV_ERROR_INVALID_ARGUMENT for a NULL `format`. Call from the reading thread. */
KIV_API int kivGetRecvFormat(kivDecoder *decoder, kivStreamFormat *format);

/** The same fields one at a time; 0 before the first frame. Call from the
 *  reading thread. Orientation and depth are 16-bit fields returned in 8
 *  bits: values above 255 come back truncated (the low 8 bits). Prefer
 *  kivGetRecvFormat(). */
KIV_API uint16_t kivGetRecvWidth(kivDecoder *decoder);
KIV_API uint16_t kivGetRecvHeight(kivDecoder *decoder);
KIV_API uint8_t kivGetRecvOrientation(kivDecoder *decoder);
KIV_API uint8_t kivGetRecvDepth(kivDecoder *decoder);

/** Bytes that the last locked frame took on the way: its JPEG size, or its
 *  byte size when it was sent raw. 0 before the first frame. Safe from any
 *  thread, also while another thread holds the lock. */
KIV_API uint32_t kivGetCompressedFrameSize(kivDecoder *decoder);

/** Socket receive buffer of a decoder, in bytes: what the library asked for
 *  and what the kernel granted. A UDP decoder that got less than it asked for
 *  loses datagrams at high rates: the system's net.core.rmem_max is too low.
 *  0 and 0 for other protocols and before kivSetSourceAddress(). Either
 *  pointer may be NULL. Any thread. */
KIV_API int kivGetReceiveBuffer(kivDecoder *decoder, uint32_t *requestedBytes, uint32_t *grantedBytes);

/** Stops receiving, releases every resource of the decoder (and a locked
 *  frame) and frees it. Call only when no other thread uses the decoder. */
KIV_API int kivDeleteDecoder(kivDecoder *decoder);

/** kivFrameInfo.flags: the frame travelled as JPEG. */
#define KIV_FRAME_COMPRESSED 0x1u
/** kivFrameInfo.flags: the sender compresses, but this frame's JPEG was no
 *  smaller than the frame, so it travelled raw (KIV_FRAME_COMPRESSED is clear). */
#define KIV_FRAME_SENT_RAW 0x2u

/** What the sender stamped on a frame. */
typedef struct kivFrameInfo {
    uint64_t sessionId;    /**< random per encoder transport session; changes when a sender restarts */
    uint32_t frameNumber;  /**< counts up by 1 per frame sent, wrapping at 2^32 */
    uint32_t flags;        /**< KIV_FRAME_* */
    int64_t sendTimeUs;    /**< sender's wall clock at kivEncode(), microseconds since the epoch */
    int64_t receiveTimeUs; /**< decoder's wall clock when the frame was complete */
    uint32_t transferBytes; /**< same as kivGetCompressedFrameSize() */
    uint32_t imageBytes;    /**< kivGetByteSize() of the frame's format */
} kivFrameInfo;

/** Fills `info` for the frame locked now. KIV_ERROR_STATE if none is locked.
 *  Call from the reading thread. */
KIV_API int kivGetRecvFrameInfo(kivDecoder *decoder, kivFrameInfo *info);

/** A frame lent out by kivLendFrame(). */
typedef struct kivLentFrame kivLentFrame;

/** Since 2.3. Takes the next frame as kivLockReadBuffer() does, but lends it
 *  out instead of locking it, so that it can be handed on without a copy: a
 *  pointer to its pixels goes to `*pixels`, and they stay valid, read-only and
 *  unchanged until kivReturnFrame(), even after kivDeleteDecoder(). The
 *  decoder meanwhile reads on, and its next kivLockReadBuffer() or
 *  kivLendFrame() gives the next frame. `info` (may be NULL) gets the frame's
 *  kivFrameInfo; kivGetRecvFormat() and kivGetCompressedFrameSize() describe
 *  it until the next frame. At most 2 frames of a decoder are out at once: a
 *  shared-memory frame stays in its sender's slot, which the sender skips
 *  while the frame is out (with every slot out, it drops frames and counts
 *  them). Return frames promptly.
 *  Returns the frame, or NULL with kivLastError(): KIV_ERROR_BUSY (2 frames
 *  are out: return one, or copy with kivLockReadBuffer()), KIV_ERROR_STATE (a
 *  frame is locked, or no source is set), KIV_ERROR_INVALID_ARGUMENT (NULL
 *  `pixels`), and KIV_ERROR_TIMEOUT, KIV_ERROR_INTERRUPTED,
 *  KIV_ERROR_INVALID_HANDLE as for kivLockReadBuffer(). Call from the
 *  reading thread. */
KIV_API kivLentFrame *kivLendFrame(kivDecoder *decoder, int timeoutMs, const void **pixels, kivFrameInfo *info);

/** Since 2.3. Gives back a frame from kivLendFrame(); its pixels must not be
 *  read afterwards. Any thread, also after the decoder is deleted; each frame
 *  once. KIV_ERROR_INVALID_HANDLE for NULL or a frame given back already. */
KIV_API int kivReturnFrame(kivLentFrame *frame);

/** Counters of a decoder since it was created. */
typedef struct kivDecoderStats {
    uint64_t framesReceived;   /**< complete, valid frames accepted from the transport */
    uint64_t framesDelivered;  /**< frames handed out by kivLockReadBuffer() */
    uint64_t framesDropped;    /**< frames overwritten or pushed out before they were read */
    uint64_t framesMalformed;  /**< input rejected: bad headers, sizes, JPEG data, connections dropped for it */
    uint64_t framesIncomplete; /**< frames given up because parts never arrived */
    uint64_t bytesReceived;    /**< transfer bytes of the frames received */
} kivDecoderStats;

/** Fills `stats`. Any thread. */
KIV_API int kivGetDecoderStats(kivDecoder *decoder, kivDecoderStats *stats);

/* ---- Loss on UDP --------------------------------------------------------- */

/** Redundancy, in percent, that UDP encoders start with. */
#define KIV_FEC_DEFAULT_PERCENT 10

/** Sets the forward error correction of a UDP encoder. `percent` is 0..100:
 *  about that many parity datagrams go out per 100 datagrams of frame data,
 *  in interleaved Reed-Solomon blocks, so a receiver rebuilds a frame that lost
 *  up to that share of its datagrams (in bursts too) without waiting for
 *  anything. It is a floor: when receivers report more loss, the encoder adds
 *  parity by itself, up to KIV_FEC_MAX_ADAPTIVE_PERCENT (see
 *  kivGetEncoderUdpStats()). 0 turns protection off, adaptation included.
 *  Takes effect from the next frame sent.
 *  KIV_ERROR_UNSUPPORTED for encoders of other protocols,
 *  KIV_ERROR_INVALID_ARGUMENT outside 0..100. Same thread rules as kivEncode(). */
KIV_API int kivSetFecRedundancy(kivEncoder *encoder, int percent);

/** Loss and duplication that a UDP encoder inflicts on its own datagrams, to
 *  rehearse a bad network without one. Datagrams are dropped in the sending
 *  process, after protection, by a pattern that depends only on `seed`. */
typedef struct kivImpairment {
    uint32_t lossPerMillion;      /**< datagrams dropped, per million on average (0..1000000) */
    uint32_t burstLength;         /**< dropped datagrams come in runs of this many; 0 and 1 mean single losses */
    uint32_t duplicatePerMillion; /**< datagrams sent twice, per million (0..1000000) */
    uint32_t reserved;            /**< 0 */
    uint64_t seed;                /**< the same seed gives the same pattern */
} kivImpairment;

/** Starts (or, with NULL, stops) impairing a UDP encoder's datagrams; the
 *  struct is copied. KIV_ERROR_UNSUPPORTED for encoders of other protocols,
 *  KIV_ERROR_INVALID_ARGUMENT for a rate over one million, a burst over 1000 or
 *  reserved not 0. Same thread rules as kivEncode(). */
KIV_API int kivSetImpairment(kivEncoder *encoder, const kivImpairment *impairment);

/** Since 2.1. The same for the return path: repair requests and loss reports
 *  that reach the encoder are dropped (or taken twice) by the pattern, as if
 *  the network had lost them on the way back. NULL stops it. Same codes and
 *  thread rules as kivSetImpairment(). */
KIV_API int kivSetReturnImpairment(kivEncoder *encoder, const kivImpairment *impairment);

/** What loss did to a decoder's UDP frames since it was created. Counts are of
 *  datagrams carrying frame data; lost parity datagrams are not counted. */
typedef struct kivLossStats {
    uint64_t datagramsLost;      /**< data datagrams of finished frames that never arrived */
    uint64_t datagramsRecovered; /**< of those, rebuilt from parity or sent again on request */
    uint64_t framesRebuilt;      /**< frames delivered whole thanks to rebuilt or repaired datagrams */
} kivLossStats;

/** Fills `stats`; all zeros for decoders of other protocols. Any thread. */
KIV_API int kivGetDecoderLossStats(kivDecoder *decoder, kivLossStats *stats);

/* ---- Pacing and repair on UDP (since 2.1) -------------------------------- */

/** Redundancy that loss reports may raise an encoder's parity to, in percent. */
#define KIV_FEC_MAX_ADAPTIVE_PERCENT 60

/** How long, by default, a UDP decoder goes on asking for a frame's missing
 *  datagrams after the frame should have been complete, in milliseconds. */
#define KIV_REPAIR_DEFAULT_BUDGET_MS 150
/** The longest budget kivSetRepairBudget() takes; encoders keep sent
 *  datagrams this long (and at most 64 MiB of them, never less than the
 *  newest frame) to answer requests. */
#define KIV_REPAIR_MAX_BUDGET_MS 1000

/** Caps the rate at which a UDP encoder puts datagrams on the wire, in bytes
 *  per second of UDP payload (protection and repairs included), for a link
 *  whose rate the caller knows. 0 (the default) removes the cap. Without a
 *  cap an encoder spreads each frame's datagrams over most of the time between
 *  the caller's kivEncode() calls, and sends frames that come back to back at
 *  full speed. Frames that cannot leave before the next one comes are dropped
 *  and counted, as ever; kivEncode() never waits for the pacing.
 *  KIV_ERROR_UNSUPPORTED for encoders of other protocols. Any thread. */
KIV_API int kivSetMaxRate(kivEncoder *encoder, uint64_t bytesPerSecond);

/** What a UDP encoder's pacing, parity and repair are doing. */
typedef struct kivUdpSenderStats {
    uint64_t paceBytesPerSecond; /**< the rate the newest frame left at, bytes of UDP payload per second */
    uint32_t parityPercent;      /**< redundancy in use now: the floor, or more when receivers report loss */
    uint32_t reserved;           /**< 0 */
    uint64_t requestsAccepted;   /**< repair requests answered (in part, when over budget) */
    uint64_t requestsRefused;    /**< malformed, for another session, or for datagrams no longer kept */
    uint64_t datagramsResent;    /**< datagrams sent again on request */
    uint64_t resendsOverBudget;  /**< requested datagrams not sent: the resend budget, a third of the stream's rate, was spent */
    uint64_t reportsAccepted;    /**< loss reports taken into account */
} kivUdpSenderStats;

/** Fills `stats`. KIV_ERROR_UNSUPPORTED for encoders of other protocols. Any thread. */
KIV_API int kivGetEncoderUdpStats(kivEncoder *encoder, kivUdpSenderStats *stats);

/** Sets how long a UDP decoder asks for datagrams that parity could not
 *  rebuild, in milliseconds after the frame should have been complete:
 *  0..KIV_REPAIR_MAX_BUDGET_MS, 0 for parity alone. A frame still incomplete
 *  then is given up. Requests go to the address the frame's datagrams came
 *  from; the encoder answers to its stream's own destination (to the group,
 *  for multicast). KIV_ERROR_UNSUPPORTED for decoders of other protocols,
 *  KIV_ERROR_INVALID_ARGUMENT out of range. Any thread. */
KIV_API int kivSetRepairBudget(kivDecoder *decoder, int milliseconds);

/** kivRepairStats.state */
#define KIV_REPAIR_UNKNOWN 0     /**< nothing has been asked for yet */
#define KIV_REPAIR_WORKING 1     /**< requested datagrams have come */
#define KIV_REPAIR_UNAVAILABLE 2 /**< the sender does not repair, requests go unanswered (a one-way path), or the budget is 0 */

/** A UDP decoder's requests for lost datagrams since it was created. */
typedef struct kivRepairStats {
    uint64_t requestsSent;       /**< request messages sent */
    uint64_t datagramsRequested; /**< datagrams named in them, repeats included */
    uint64_t datagramsRepaired;  /**< datagrams sent again that filled a gap */
    uint32_t state;              /**< KIV_REPAIR_* */
    uint32_t lossPerMillion;     /**< datagrams lost on the way, before parity and repair, lately */
} kivRepairStats;

/** Fills `stats`. KIV_ERROR_UNSUPPORTED for decoders of other protocols. Any thread. */
KIV_API int kivGetDecoderRepairStats(kivDecoder *decoder, kivRepairStats *stats);

#ifdef __cplusplus
}
#endif

#endif /* KIV_VID_STREAM_LIB2_H */
