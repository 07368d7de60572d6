/* The public header must compile as C. */
#include "DecodeTarn.h"

int tarn_c_header_layer_count(const ZyTarnInfo* info) {
    return info != NULL && info->PicHead != NULL ? (int)info->PicHead->Layer : -1;
}

/* And so must the modern one. */
#include "tarn.h"

int tarn_c_header_bytes(void) {
    return tarn_format_bytes(TARN_FORMAT_RGBA);
}
