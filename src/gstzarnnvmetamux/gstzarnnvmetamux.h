/*
 * zarnnvmetamux: writes each buffer's DeepStream metadata as a compact JSON
 * document plus its 32-bit little-endian length at the end of the payload,
 * so that the metadata survives stages that carry only bytes.
 */
#ifndef GST_ZARNNVMETAMUX_H
#define GST_ZARNNVMETAMUX_H

#include <cstdio>
#include <string>

#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include "zarncarrier.h"
#include "zarnmeta.h"

namespace zarn {
namespace mux {
struct Text;
}
} // namespace zarn

G_BEGIN_DECLS

#define GST_TYPE_ZARNNVMETAMUX (gst_zarn_nv_meta_mux_get_type())
#define GST_ZARNNVMETAMUX(obj) \
  (G_TYPE_CHECK_INSTANCE_CAST((obj), GST_TYPE_ZARNNVMETAMUX, GstzarnNvMetaMux))

/* Where the document travels: the "carrier" property. */
typedef enum {
  ZARN_CARRIER_TRAILER = 0,
  ZARN_CARRIER_SEI = 1,
} ZarnNvMetaMuxCarrier;

#define ZARN_TYPE_NV_META_MUX_CARRIER (zarn_nv_meta_mux_carrier_get_type())
ZARN_EXPORT GType zarn_nv_meta_mux_carrier_get_type(void);

typedef struct _GstzarnNvMetaMux {
  GstElement element;

  GstPad *sinkpad;
  GstPad *srcpad;

  gboolean silent;
  /* Path of the document log file; NULL until "savepath" is first set.
   * Guarded by the object lock. */
  GString *savepath;
  /* The document log file once opened; only the streaming thread uses it. */
  FILE *save_file;

  /* "carrier", a ZarnNvMetaMuxCarrier, read and written atomically. */
  gint carrier;
  /* With "sei", the stream its caps describe; only the streaming thread
   * uses it. */
  zarn::carrier::sei::Stream stream;
  /* The document's text storage, reused from buffer to buffer; only the
   * streaming thread uses it. */
  zarn::mux::Text *text;

  /* "stats", under the object lock: buffers seen, documents written and
   * their bytes. */
  guint64 buffers;
  guint64 documents;
  guint64 document_bytes;
} GstzarnNvMetaMux;

typedef struct _GstzarnNvMetaMuxClass {
  GstElementClass parent_class;
} GstzarnNvMetaMuxClass;

ZARN_EXPORT GType gst_zarn_nv_meta_mux_get_type(void);
ZARN_EXPORT const GstPluginDesc *gst_plugin_zarnnvmetamux_get_desc(void);
ZARN_EXPORT void gst_plugin_zarnnvmetamux_register(void);

G_END_DECLS

/* The buffer's metadata document: a new[]-allocated array of *length bytes
 * (no NUL), released with delete[]; NULL, with *length untouched, when the
 * buffer carries no DeepStream meta. `element` is passed only when it holds
 * a save path: the document is then also appended to its log file. */
ZARN_EXPORT unsigned char *get_json_from_meta(GstBuffer *buffer, unsigned int *length,
                                              GstzarnNvMetaMux *element);

/* The one frame entry of a buffer-level document, built from the identity
 * and dimensions records anywhere on the buffer: an object, or null. */
ZARN_EXPORT nlohmann::json process_meta_from_buffer(GstBuffer *buffer);

/* A new buffer holding the payload of `buffer`, the document and its length. */
ZARN_EXPORT GstBuffer *add_json_to_buffer(GstBuffer *buffer, const unsigned char *document,
                                          unsigned int length);

/* Appends the document and ",\n" to the log file at `path`, opening it into
 * *save_file (mode "a+") when it is not open yet. */
ZARN_EXPORT void add_to_file(const std::string &text, std::string path, FILE **save_file);

/* Wall clock time in milliseconds since the Unix epoch. */
ZARN_EXPORT int64_t getTs();

#endif /* GST_ZARNNVMETAMUX_H */
