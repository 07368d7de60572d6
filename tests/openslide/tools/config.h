/* What OpenSlide's build system defines for its tools. */
#define SUFFIXED_VERSION "(ported to tarn.h)"
