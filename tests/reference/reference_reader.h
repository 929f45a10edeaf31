// The demux's first document reader (nlohmann's DOM), kept for the tests as
// the reference for the element's one-pass reader.
#ifndef ZARN_TESTS_REFERENCE_READER_H
#define ZARN_TESTS_REFERENCE_READER_H

#include <gst/gst.h>

namespace zarn_reference {

// Restores the document's records and batch onto the buffer exactly as the
// demux did before its one-pass reader. False when the text was refused
// (not JSON, a NUL byte, nested deeper than 64 levels).
bool deserialize(const unsigned char *document, unsigned int length, GstBuffer *buffer);

} // namespace zarn_reference

#endif
