// The exported trailer reader, on the trailer carrier.

#include <new>

#include "gstzarnnvmetademux.h"
#include "zarncarrier.h"

unsigned char *extract_json_from_buffer(GstBuffer *buffer, unsigned int *length) {
  zarn::carrier::Location where;
  if (zarn::carrier::trailer::locate(buffer, &where) != zarn::carrier::Found::kOurs)
    return NULL;
  // The length was checked against the buffer before anything is allocated.
  unsigned char *document = new (std::nothrow) unsigned char[where.length ? where.length : 1];
  if (!document)
    return NULL;
  if (!zarn::carrier::trailer::read(buffer, where, reinterpret_cast<char *>(document))) {
    delete[] document;
    return NULL;
  }
  *length = where.length;
  return document;
}

void trim_buffer(GstBuffer *buffer, unsigned int count) {
  const gsize size = gst_buffer_get_size(buffer);
  if (count < size)
    zarn::carrier::truncate(buffer, size - count);
}
