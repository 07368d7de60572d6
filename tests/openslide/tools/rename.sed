# The renames that carry a program from openslide.h to tarn.h (docs/porting.md): the header, the
# handle type, the prefix of every call and the property-name macros.
s/"openslide\.h"/"tarn.h"/g
s/openslide_t\b/tarn_slide/g
s/openslide_/tarn_/g
s/OPENSLIDE_PROPERTY_NAME_/TARN_PROPERTY_NAME_/g
