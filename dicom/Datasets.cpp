#include "dicom/Datasets.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcvrov.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include "dicom/IccProfile.h"

namespace tarn::dicom {
namespace {

// Defaults where the standard needs a value that neither the slide nor the metadata gives
// (docs/dicom.md has the table).
constexpr char kUnknown[] = "UNKNOWN";
// Tarn files do not record the section's thickness: a nominal depth of one micrometre.
constexpr double kNominalDepthMm = 0.001;
// The slide's axes as most whole-slide converters lay them: image rows run along the slide's
// -Y axis, columns along its -X axis, label to the left.
constexpr char kImageOrientationSlide[] = "0\\-1\\0\\-1\\0\\0";

// A DS value of at most 16 characters.
std::string Decimal(double value) {
    char buffer[32];
    for (int digits = 12; digits > 1; --digits) {
        std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
        if (std::string(buffer).size() <= 16) return buffer;
    }
    return "0";
}

// Collects the first failure of a run of puts, so that building reads as a list of attributes.
struct Builder {
    OFCondition status = EC_Normal;
    std::string failed;

    void Put(DcmItem* item, const DcmTagKey& tag, const std::string& value) {
        if (status.bad()) return;
        status = item->putAndInsertString(tag, value.c_str());
        if (status.bad()) failed = DcmTag(tag).getTagName();
    }
    void Empty(DcmItem* item, const DcmTagKey& tag) {
        if (status.bad()) return;
        status = item->insertEmptyElement(tag);
        if (status.bad()) failed = DcmTag(tag).getTagName();
    }
    // A new item at the end of the sequence `tag` of `item` (created when absent).
    DcmItem* Item(DcmItem* item, const DcmTagKey& tag) {
        DcmItem* child = nullptr;
        if (status.bad()) return nullptr;
        status = item->findOrCreateSequenceItem(tag, child, -2);
        if (status.bad() || child == nullptr) {
            if (status.good()) status = EC_MemoryExhausted;
            failed = DcmTag(tag).getTagName();
            return nullptr;
        }
        return child;
    }
    void Code(DcmItem* item, const DcmTagKey& sequence, const char* value, const char* scheme,
              const char* meaning) {
        DcmItem* code = Item(item, sequence);
        if (code == nullptr) return;
        Put(code, DCM_CodeValue, value);
        Put(code, DCM_CodingSchemeDesignator, scheme);
        Put(code, DCM_CodeMeaning, meaning);
    }
    void Bytes(DcmItem* item, const DcmTagKey& tag, const std::vector<uint8_t>& bytes) {
        if (status.bad()) return;
        status = item->putAndInsertUint8Array(tag, bytes.data(), bytes.size());
        if (status.bad()) failed = DcmTag(tag).getTagName();
    }
};

// The metadata value of `keyword`, else `fallback`.
std::string Meta(const PreparedSlide& slide, const char* keyword, const std::string& fallback) {
    const MetadataValue* value = FindMetadata(slide, keyword);
    return value != nullptr ? value->value : fallback;
}

// Puts the metadata value when given, else `fallback` (also for a value given empty: an
// attribute with a default needs a value); with an empty fallback and no value the attribute is
// left out (when `required` is false) or present and empty.
void PutMeta(Builder& b, DcmItem* item, const PreparedSlide& slide, const DcmTagKey& tag,
             const char* keyword, const std::string& fallback, bool required) {
    const MetadataValue* value = FindMetadata(slide, keyword);
    if (value != nullptr && (!value->value.empty() || fallback.empty())) {
        b.Put(item, tag, value->value);
    } else if (!fallback.empty()) {
        b.Put(item, tag, fallback);
    } else if (required) {
        b.Empty(item, tag);
    }
}

const char* ImageTypeOf(const Instance& instance) {
    switch (instance.kind) {
        case ImageKind::Volume:
            return instance.level == 0 ? "ORIGINAL\\PRIMARY\\VOLUME\\NONE"
                                       : "DERIVED\\PRIMARY\\VOLUME\\RESAMPLED";
        case ImageKind::Label:
            return "ORIGINAL\\PRIMARY\\LABEL\\NONE";
        case ImageKind::Overview:
            return "ORIGINAL\\PRIMARY\\OVERVIEW\\NONE";
        case ImageKind::Thumbnail:
            return "DERIVED\\PRIMARY\\THUMBNAIL\\RESAMPLED";
    }
    return "";
}

void PutPatientStudySeries(Builder& b, DcmItem* d, const PreparedSlide& slide) {
    PutMeta(b, d, slide, DCM_PatientName, "PatientName", "", true);
    PutMeta(b, d, slide, DCM_PatientID, "PatientID", "", true);
    PutMeta(b, d, slide, DCM_IssuerOfPatientID, "IssuerOfPatientID", "", false);
    PutMeta(b, d, slide, DCM_PatientBirthDate, "PatientBirthDate", "", true);
    PutMeta(b, d, slide, DCM_PatientSex, "PatientSex", "", true);
    PutMeta(b, d, slide, DCM_PatientComments, "PatientComments", "", false);

    b.Put(d, DCM_StudyInstanceUID, slide.uids.study);
    PutMeta(b, d, slide, DCM_StudyDate, "StudyDate", "", true);
    PutMeta(b, d, slide, DCM_StudyTime, "StudyTime", "", true);
    PutMeta(b, d, slide, DCM_ReferringPhysicianName, "ReferringPhysicianName", "", true);
    PutMeta(b, d, slide, DCM_StudyID, "StudyID", "", true);
    PutMeta(b, d, slide, DCM_AccessionNumber, "AccessionNumber", "", true);
    PutMeta(b, d, slide, DCM_StudyDescription, "StudyDescription", "", false);

    b.Put(d, DCM_Modality, "SM");
    b.Put(d, DCM_SeriesInstanceUID, slide.uids.series);
    PutMeta(b, d, slide, DCM_SeriesNumber, "SeriesNumber", "", true);
    PutMeta(b, d, slide, DCM_SeriesDescription, "SeriesDescription", "", false);
    PutMeta(b, d, slide, DCM_SeriesDate, "SeriesDate", "", false);
    PutMeta(b, d, slide, DCM_SeriesTime, "SeriesTime", "", false);
}

// The scanner as the metadata describes it (UNKNOWN where it does not), and the conversion as
// contributing equipment.
void PutEquipment(Builder& b, DcmItem* d, const PreparedSlide& slide) {
    PutMeta(b, d, slide, DCM_Manufacturer, "Manufacturer", kUnknown, true);
    PutMeta(b, d, slide, DCM_ManufacturerModelName, "ManufacturerModelName", kUnknown, true);
    PutMeta(b, d, slide, DCM_DeviceSerialNumber, "DeviceSerialNumber", kUnknown, true);
    PutMeta(b, d, slide, DCM_SoftwareVersions, "SoftwareVersions", kUnknown, true);
    PutMeta(b, d, slide, DCM_InstitutionName, "InstitutionName", "", false);
    PutMeta(b, d, slide, DCM_InstitutionAddress, "InstitutionAddress", "", false);
    PutMeta(b, d, slide, DCM_InstitutionalDepartmentName, "InstitutionalDepartmentName", "", false);
    PutMeta(b, d, slide, DCM_StationName, "StationName", "", false);

    DcmItem* contributor = b.Item(d, DCM_ContributingEquipmentSequence);
    if (contributor == nullptr) return;
    b.Code(contributor, DCM_PurposeOfReferenceCodeSequence, "109102", "DCM",
           "Processing Equipment");
    b.Put(contributor, DCM_Manufacturer, "libDecodeTarn");
    b.Put(contributor, DCM_ManufacturerModelName, "Tarn converter");
    b.Put(contributor, DCM_SoftwareVersions,
          slide.description.softwareVersion.empty() ? kUnknown : slide.description.softwareVersion);
    b.Put(contributor, DCM_ContributionDescription,
          "Converted from a Tarn slide; frames re-encoded as JPEG baseline");
}

void PutPixelDescription(Builder& b, DcmItem* d, const Instance& instance) {
    b.Put(d, DCM_SamplesPerPixel, "3");
    b.Put(d, DCM_PhotometricInterpretation, "YBR_FULL_422");
    b.Put(d, DCM_PlanarConfiguration, "0");
    b.Put(d, DCM_NumberOfFrames, std::to_string(instance.grid.FrameCount()));
    b.Put(d, DCM_Rows, std::to_string(instance.grid.frameHeight));
    b.Put(d, DCM_Columns, std::to_string(instance.grid.frameWidth));
    b.Put(d, DCM_BitsAllocated, "8");
    b.Put(d, DCM_BitsStored, "8");
    b.Put(d, DCM_HighBit, "7");
    b.Put(d, DCM_PixelRepresentation, "0");
}

void PutFrameOrganisation(Builder& b, DcmItem* d, const PreparedSlide& slide,
                          const Instance& instance) {
    b.Put(d, DCM_FrameOfReferenceUID, slide.uids.frameOfReference);
    b.Put(d, DCM_PositionReferenceIndicator, "SLIDE_CORNER");

    DcmItem* organisation = b.Item(d, DCM_DimensionOrganizationSequence);
    if (organisation != nullptr) {
        b.Put(organisation, DCM_DimensionOrganizationUID, slide.uids.dimensionOrganization);
    }
    // Frames follow each other along rows, then down columns (TILED_FULL): the dimensions are
    // the frame's position in the total pixel matrix.
    const DcmTagKey positions[] = {DCM_ColumnPositionInTotalImagePixelMatrix,
                                   DCM_RowPositionInTotalImagePixelMatrix};
    for (const DcmTagKey& position : positions) {
        DcmItem* index = b.Item(d, DCM_DimensionIndexSequence);
        if (index == nullptr) return;
        b.Put(index, DCM_DimensionIndexPointer, position.toString().c_str());
        b.Put(index, DCM_FunctionalGroupPointer,
              DcmTagKey(DCM_PlanePositionSlideSequence).toString().c_str());
        b.Put(index, DCM_DimensionOrganizationUID, slide.uids.dimensionOrganization);
    }
    b.Put(d, DCM_DimensionOrganizationType, "TILED_FULL");

    b.Put(d, DCM_TotalPixelMatrixColumns, std::to_string(instance.grid.total.width));
    b.Put(d, DCM_TotalPixelMatrixRows, std::to_string(instance.grid.total.height));
    b.Put(d, DCM_TotalPixelMatrixFocalPlanes, "1");
    DcmItem* origin = b.Item(d, DCM_TotalPixelMatrixOriginSequence);
    if (origin != nullptr) {
        b.Put(origin, DCM_XOffsetInSlideCoordinateSystem, "0");
        b.Put(origin, DCM_YOffsetInSlideCoordinateSystem, "0");
    }
    b.Put(d, DCM_ImageOrientationSlide, kImageOrientationSlide);
}

void PutFunctionalGroups(Builder& b, DcmItem* d, const Instance& instance, double depthMm) {
    DcmItem* shared = b.Item(d, DCM_SharedFunctionalGroupsSequence);
    if (shared == nullptr) return;
    DcmItem* measures = b.Item(shared, DCM_PixelMeasuresSequence);
    if (measures != nullptr && instance.spacingXMm > 0) {
        b.Put(measures, DCM_PixelSpacing,
              Decimal(instance.spacingYMm) + "\\" + Decimal(instance.spacingXMm));
        b.Put(measures, DCM_SliceThickness, Decimal(depthMm));
    }
    DcmItem* path = b.Item(shared, DCM_OpticalPathIdentificationSequence);
    if (path != nullptr) b.Put(path, DCM_OpticalPathIdentifier, "1");
    DcmItem* frameType = b.Item(shared, DCM_WholeSlideMicroscopyImageFrameTypeSequence);
    if (frameType != nullptr) b.Put(frameType, DCM_FrameType, ImageTypeOf(instance));
}

void PutSpecimen(Builder& b, DcmItem* d, const PreparedSlide& slide) {
    std::string container = Meta(slide, "ContainerIdentifier", "");
    if (container.empty()) container = kUnknown;
    b.Put(d, DCM_ContainerIdentifier, container);
    b.Empty(d, DCM_IssuerOfTheContainerIdentifierSequence);
    b.Code(d, DCM_ContainerTypeCodeSequence, "433466003", "SCT", "Microscope slide");
    DcmItem* specimen = b.Item(d, DCM_SpecimenDescriptionSequence);
    if (specimen == nullptr) return;
    const std::string identifier = Meta(slide, "SpecimenIdentifier", "");
    b.Put(specimen, DCM_SpecimenIdentifier, identifier.empty() ? container : identifier);
    b.Put(specimen, DCM_SpecimenUID, slide.uids.specimen);
    b.Empty(specimen, DCM_IssuerOfTheSpecimenIdentifierSequence);
    b.Empty(specimen, DCM_SpecimenPreparationSequence);
    PutMeta(b, specimen, slide, DCM_SpecimenShortDescription, "SpecimenShortDescription", "",
            false);
    PutMeta(b, specimen, slide, DCM_SpecimenDetailedDescription, "SpecimenDetailedDescription", "",
            false);
}

bool PutOpticalPath(Builder& b, DcmItem* d, const PreparedSlide& slide, std::string* error) {
    const std::vector<uint8_t>& icc = SrgbProfile();
    if (icc.empty()) {
        *error = "cannot make the sRGB colour profile";
        return false;
    }
    b.Put(d, DCM_NumberOfOpticalPaths, "1");
    DcmItem* path = b.Item(d, DCM_OpticalPathSequence);
    if (path == nullptr) return true;
    b.Put(path, DCM_OpticalPathIdentifier, "1");
    b.Code(path, DCM_IlluminationTypeCodeSequence, "111744", "DCM", "Brightfield illumination");
    b.Code(path, DCM_IlluminationColorCodeSequence, "414298005", "SCT", "Full Spectrum");
    b.Bytes(path, DCM_ICCProfile, icc);
    b.Put(path, DCM_ColorSpace, "SRGB");
    if (slide.description.objectivePower > 0) {
        b.Put(path, DCM_ObjectiveLensPower, Decimal(slide.description.objectivePower));
    }
    return true;
}

}  // namespace

double EstimatedCompressionRatio(int quality) {
    const int q = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
    return 3.0 * std::sqrt(101.0 - q);
}

std::string DamagedFramesComment(int64_t damaged, int64_t frames) {
    std::string text = damaged == 0 ? "Every frame was read from the source slide"
                                    : std::to_string(damaged) + " of " + std::to_string(frames) +
                                          " frames could not be read from the source slide and "
                                          "are white";
    text.resize(kDamagedCommentLength, ' ');
    return text;
}

std::string PaddedRatio(double ratio) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", ratio);
    std::string text = buffer;
    if (text.size() > 16) text = Decimal(ratio);
    text.resize(16, ' ');
    return text;
}

bool BuildDataset(const PreparedSlide& slide, size_t index, const DatasetOptions& options,
                  DcmItem* d, std::string* error) {
    if (index >= slide.instances.size()) {
        *error = "no such instance";
        return false;
    }
    const Instance& instance = slide.instances[index];
    const SlideDescription& description = slide.description;
    Builder b;
    const std::string date = description.contentDatetime.substr(0, 8);
    const std::string time = description.contentDatetime.substr(8, 6);

    // SOP Common
    b.Put(d, DCM_SpecificCharacterSet, "ISO_IR 192");
    b.Put(d, DCM_SOPClassUID, kWholeSlideSopClass);
    b.Put(d, DCM_SOPInstanceUID, instance.sopInstanceUid);
    b.Put(d, DCM_InstanceNumber, std::to_string(instance.instanceNumber));
    b.Put(d, DCM_ContentDate, date);
    b.Put(d, DCM_ContentTime, time);

    PutPatientStudySeries(b, d, slide);
    PutEquipment(b, d, slide);

    // Whole Slide Microscopy Image
    const bool showsLabel =
        instance.kind == ImageKind::Label || instance.kind == ImageKind::Overview;
    b.Put(d, DCM_ImageType, ImageTypeOf(instance));
    // The levels and the thumbnail are one multi-resolution pyramid.
    if (instance.kind == ImageKind::Volume || instance.kind == ImageKind::Thumbnail) {
        b.Put(d, DCM_PyramidUID, slide.uids.pyramid);
    }
    PutMeta(b, d, slide, DCM_AcquisitionDateTime, "AcquisitionDateTime",
            description.contentDatetime, true);
    PutMeta(b, d, slide, DCM_AcquisitionDuration, "AcquisitionDuration", "", false);
    b.Put(d, DCM_VolumetricProperties, "VOLUME");
    b.Put(d, DCM_SpecimenLabelInImage, showsLabel ? "YES" : "NO");
    b.Put(d, DCM_BurnedInAnnotation, showsLabel ? "YES" : "NO");
    PutMeta(b, d, slide, DCM_FocusMethod, "FocusMethod", "AUTO", true);
    b.Put(d, DCM_ExtendedDepthOfField, "NO");
    const double depthMm = kNominalDepthMm;
    if (instance.kind == ImageKind::Volume || instance.kind == ImageKind::Thumbnail) {
        const PixelSize first = description.levels.front().size;
        b.Put(d, DCM_ImagedVolumeWidth,
              Decimal(static_cast<double>(first.width) * description.pixelSpacingXMm));
        b.Put(d, DCM_ImagedVolumeHeight,
              Decimal(static_cast<double>(first.height) * description.pixelSpacingYMm));
        b.Put(d, DCM_ImagedVolumeDepth, Decimal(depthMm));
    }
    b.Put(d, DCM_LossyImageCompression, "01");
    if (options.ratioPlaceholder) {
        b.Put(d, DCM_LossyImageCompressionRatio, kRatioPlaceholder);
    } else {
        const double ratio = options.compressionRatio > 0
                                 ? options.compressionRatio
                                 : EstimatedCompressionRatio(description.jpegQuality);
        b.Put(d, DCM_LossyImageCompressionRatio, Decimal(std::round(ratio * 100) / 100));
    }
    b.Put(d, DCM_LossyImageCompressionMethod, "ISO_10918_1");
    // Frames past the picture are white: CIELab white, as ICC encodes it.
    b.Put(d, DCM_RecommendedAbsentPixelCIELabValue, "65535\\32896\\32896");

    if (options.damagedCommentPlaceholder) {
        b.Put(d, DCM_ImageComments, std::string(kDamagedCommentLength, '#'));
    }

    PutPixelDescription(b, d, instance);
    PutFrameOrganisation(b, d, slide, instance);
    PutFunctionalGroups(b, d, instance, depthMm);
    PutSpecimen(b, d, slide);
    b.Empty(d, DCM_AcquisitionContextSequence);
    if (!PutOpticalPath(b, d, slide, error)) return false;

    if (instance.kind == ImageKind::Label) {
        PutMeta(b, d, slide, DCM_LabelText, "LabelText", "", true);
        PutMeta(b, d, slide, DCM_BarcodeValue, "BarcodeValue", "", true);
    }

    if (options.extendedOffsetTableFrames > 0 && b.status.good()) {
        const auto frames = static_cast<size_t>(options.extendedOffsetTableFrames);
        const std::vector<Uint64> zeros(frames, 0);
        const DcmTagKey tables[] = {DCM_ExtendedOffsetTable, DCM_ExtendedOffsetTableLengths};
        for (const DcmTagKey& tag : tables) {
            auto* element = new DcmOther64bitVeryLong(DcmTag(tag, EVR_OV));
            b.status = element->putUint64Array(zeros.data(), static_cast<unsigned long>(frames));
            if (b.status.good()) b.status = d->insert(element, true);
            if (b.status.bad()) {
                delete element;
                b.failed = DcmTag(tag).getTagName();
                break;
            }
        }
    }
    if (b.status.bad()) {
        *error = "cannot set " + b.failed + ": " + b.status.text();
        return false;
    }
    return true;
}

}  // namespace tarn::dicom
