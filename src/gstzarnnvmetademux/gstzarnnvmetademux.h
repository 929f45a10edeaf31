/*
 * zarnnvmetademux: reads the metadata document from the trailer at the end
 * of each buffer, cuts the trailer off so the payload is what entered the
 * mux, and attaches the metadata to the buffer again.
 */
#ifndef GST_ZARNNVMETADEMUX_H
#define GST_ZARNNVMETADEMUX_H

#include <cstdint>
#include <string>

#include <gst/gst.h>

#include "zarncarrier.h"
#include "zarnmeta.h"

namespace zarn {
namespace demux {
struct Reader;
}
} // namespace zarn

G_BEGIN_DECLS

#define GST_TYPE_ZARNNVMETADEMUX (gst_zarnnvmetademux_get_type())
#define GST_ZARNNVMETADEMUX(obj) \
  (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_ZARNNVMETADEMUX, Gstzarnnvmetademux))

typedef struct _Gstzarnnvmetademux {
  GstElement element;

  GstPad *sinkpad;
  GstPad *srcpad;

  gboolean silent;
  /* The document parser and its buffers, reused from buffer to buffer;
   * only the streaming thread uses it. */
  zarn::demux::Reader *reader;
  /* The H.264 or H.265 stream its caps describe, where SEI messages may
   * carry the document; only the streaming thread uses it. */
  zarn::carrier::sei::Stream stream;

  /* "stats", under the object lock: buffers seen, documents restored,
   * buffers passed on untouched, documents refused; and when the last
   * refusal was posted on the bus (monotonic time, 0 for never). */
  guint64 buffers;
  guint64 restored;
  guint64 untouched;
  guint64 refused;
  gint64 refusal_posted;
} Gstzarnnvmetademux;

typedef struct _GstzarnnvmetademuxClass {
  GstElementClass parent_class;
} GstzarnnvmetademuxClass;

ZARN_EXPORT GType gst_zarnnvmetademux_get_type(void);
ZARN_EXPORT const GstPluginDesc *gst_plugin_zarnnvmetademux_get_desc(void);
ZARN_EXPORT void gst_plugin_zarnnvmetademux_register(void);

G_END_DECLS

/* The document bytes of the buffer's trailer: a new[]-allocated array (no
 * NUL), released with delete[], its length in *length. NULL, with *length
 * untouched, when the buffer cannot be mapped or holds no valid trailer. */
ZARN_EXPORT unsigned char *extract_json_from_buffer(GstBuffer *buffer, unsigned int *length);

/* Shortens a writable buffer by `count` bytes at its end; a buffer that
 * would become empty, or shorter than nothing, is left as it is. */
ZARN_EXPORT void trim_buffer(GstBuffer *buffer, unsigned int count);

/* Attaches, for every frame entry of the document, an identity and a
 * dimensions record to the (writable) buffer, then rebuilds the batch of
 * detected objects. Never throws; what it cannot use it skips with a
 * WARNING in the element's debug category. */
ZARN_EXPORT void deserialize_json_to_meta(const unsigned char *document, unsigned int length,
                                          GstBuffer *buffer);

/* Splits "640x480" at the first 'x': 640 into *first, 480 into *second.
 * False when there is no 'x'. An empty part gives 0; a part that is not a
 * number, or out of the 32-bit range, throws std::invalid_argument or
 * std::out_of_range. */
ZARN_EXPORT bool split(const std::string &text, int32_t *second, int32_t *first);

/* Copies the bytes of `source` to the start of `destination`, at most as
 * many as the destination holds. */
ZARN_EXPORT void buffercpy(GstBuffer *destination, GstBuffer *source);

#endif /* GST_ZARNNVMETADEMUX_H */
