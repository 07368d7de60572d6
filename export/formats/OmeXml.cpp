#include "OmeXml.h"

#include <charconv>
#include "util/Markup.h"

namespace tarnexport {
namespace {

// The shortest text that reads back as the same double.
std::string Number(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace

std::string OmeXml(const std::vector<OmeImage>& images,
                   const std::vector<std::pair<std::string, std::string>>& annotations) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xsi:schemaLocation=\"http://www.openmicroscopy.org/Schemas/OME/2016-06 "
        "http://www.openmicroscopy.org/Schemas/OME/2016-06/ome.xsd\" Creator=\"tarn convert\">\n";
    for (size_t i = 0; i < images.size(); ++i) {
        const OmeImage& image = images[i];
        const std::string n = std::to_string(i);
        xml += "  <Image ID=\"Image:" + n + "\" Name=\"" + tarn::MarkupEscape(image.name) + "\">\n";
        xml += "    <Pixels ID=\"Pixels:" + n +
               "\" DimensionOrder=\"XYCZT\" Type=\"uint8\" SizeX=\"" + std::to_string(image.width) +
               "\" SizeY=\"" + std::to_string(image.height) +
               "\" SizeC=\"3\" SizeZ=\"1\" SizeT=\"1\" Interleaved=\"true\"";
        if (image.micrometresX > 0 && image.micrometresY > 0)
            xml += " PhysicalSizeX=\"" + Number(image.micrometresX) +
                   "\" PhysicalSizeXUnit=\"\xC2\xB5m\" PhysicalSizeY=\"" +
                   Number(image.micrometresY) + "\" PhysicalSizeYUnit=\"\xC2\xB5m\"";
        xml += ">\n      <Channel ID=\"Channel:" + n +
               ":0\" SamplesPerPixel=\"3\"><LightPath/></Channel>\n"
               "      <TiffData IFD=\"" +
               n +
               "\" PlaneCount=\"1\"/>\n"
               "    </Pixels>\n";
        if (i == 0 && !annotations.empty()) xml += "    <AnnotationRef ID=\"Annotation:0\"/>\n";
        xml += "  </Image>\n";
    }
    if (!annotations.empty()) {
        xml +=
            "  <StructuredAnnotations>\n    <MapAnnotation ID=\"Annotation:0\">\n"
            "      <Value>\n";
        for (const auto& [key, value] : annotations)
            xml += "        <M K=\"" + tarn::MarkupEscape(key) + "\">" + tarn::MarkupEscape(value) +
                   "</M>\n";
        xml += "      </Value>\n    </MapAnnotation>\n  </StructuredAnnotations>\n";
    }
    return xml + "</OME>\n";
}

}  // namespace tarnexport
