/*
 * Stand-in for the DeepStream on-screen-display structures that the object
 * metadata embeds. Only the members this project touches matter; the rest
 * keep the SDK's names so that sources written against them build unchanged
 * against the real SDK.
 */
#ifndef NVLL_OSD_STRUCT_H
#define NVLL_OSD_STRUCT_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _NvOSD_ColorParams {
  double red;
  double green;
  double blue;
  double alpha;
} NvOSD_ColorParams;

typedef struct _NvOSD_FontParams {
  char *font_name;
  unsigned int font_size;
  NvOSD_ColorParams font_color;
} NvOSD_FontParams;

typedef struct _NvOSD_TextParams {
  char *display_text;
  unsigned int x_offset;
  unsigned int y_offset;
  NvOSD_FontParams font_params;
  int set_bg_clr;
  NvOSD_ColorParams text_bg_clr;
} NvOSD_TextParams;

typedef struct _NvOSD_RectParams {
  float left;
  float top;
  float width;
  float height;
  unsigned int border_width;
  NvOSD_ColorParams border_color;
  unsigned int has_bg_color;
  unsigned int reserved;
  NvOSD_ColorParams bg_color;
  int has_color_info;
  int color_id;
} NvOSD_RectParams;

typedef struct _NvOSD_MaskParams {
  float *data;
  unsigned int size;
  float threshold;
  unsigned int width;
  unsigned int height;
} NvOSD_MaskParams;

#ifdef __cplusplus
}
#endif

#endif /* NVLL_OSD_STRUCT_H */
