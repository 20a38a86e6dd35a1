// The stream inspector's text report.
#include "tools/lib/StreamInternal.h"

#include "emf/EmfRecords.h"
#include "native/Devmode.h"
#include "tools/lib/FontRecords.h"
#include "tools/lib/SpoolWriter.h"

#include <cstdio>
#include <sstream>

namespace qltools {
namespace detail {

std::string Hex(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llx", width, static_cast<unsigned long long>(v));
    return buf;
}

std::string TypeLabel(uint32_t type) {
    const char* name = SpoolRecordName(type);
    std::string s = type == SPL_FILE_HEADER ? Hex(type, 8) : std::to_string(type);
    if (*name) s += std::string(" (") + name + ")";
    return s;
}

std::string EmfTypeName(uint32_t type) {
    switch (type) {
    case EMR_COMPRESSEDDIBITS: return "0x8000";
    case EMR_DELETEDDIBITS: return "0x8001";
    case EMR_CACHEDDIBITS: return "0x8002";
    default: return std::to_string(type);
    }
}

std::string CountsText(const std::map<uint32_t, uint32_t>& counts) {
    std::string s;
    for (const auto& [type, count] : counts) {
        if (!s.empty()) s += ' ';
        s += EmfTypeName(type) + ":" + std::to_string(count);
    }
    return s;
}

std::string DevmodeText(const DevmodeInfo& d) {
    std::ostringstream o;
    o << "\"" << d.deviceName << "\" dmSize " << d.dmSize << ", dmDriverExtra " << d.dmDriverExtra << ", dmFields "
      << Hex(d.dmFields, 8) << ", orientation " << d.dmOrientation << ", paper " << d.dmPaperSize;
    if (!d.formName.empty()) o << " \"" << d.formName << "\"";
    if (d.dmFields & (DM_PAPERLENGTH | DM_PAPERWIDTH)) o << " " << d.dmPaperWidth << "x" << d.dmPaperLength;
    o << ", copies " << d.dmCopies;
    if (d.hasTrailer) {
        o << "; trailer QLPD flags " << Hex(d.trailerFlags) << " [" << DevmodeFlagNames(d.trailerFlags) << "]";
        if (d.trailerFlags & QL_DM_IMGAREA)
            o << " offsets x " << (d.dmDisplayFrequency >> 16) << " y " << (d.dmDisplayFrequency & 0xFFFF);
    } else {
        o << "; no trailer";
    }
    if (d.hasExtension) {
        o << "; extension QLEX size " << d.extensionSize << " fields " << Hex(d.extensionFields) << " rules "
          << Hex(d.compressionRules[0]) << "," << Hex(d.compressionRules[1]) << "," << Hex(d.compressionRules[2])
          << "," << Hex(d.compressionRules[3]) << " dpi reduction " << d.bitmapDPIReduction;
    }
    return o.str();
}


} // namespace detail

using namespace detail;

namespace {

// The line that opens the records of a later copy.
std::string CopyText(const CopyInfo& c, size_t index) {
    std::ostringstream o;
    o << "copy " << index + 1 << " at " << c.offset << " (logical " << c.logicalOffset << ")";
    if (c.marker) o << ": marker";
    if (c.devmode) o << ", device mode block length " << c.devmode->length << " form " << DevmodeFormName(c.devmode->form);
    if (c.jdf) o << ", JDF block length " << c.jdf->length;
    o << (c.framed ? ", framed from " + std::to_string(c.framingStart) : std::string(", not framed"));
    if (c.watermark) o << ", watermark of " << c.watermark->length << " bytes";
    o << "\n";
    return o.str();
}


} // namespace

const char* DevmodeFormName(DevmodeForm form) {
    switch (form) {
    case DevmodeForm::PublicOnly: return "public";
    case DevmodeForm::PublicPlus8: return "public+8";
    case DevmodeForm::Full: return "full";
    }
    return "?";
}

std::string DevmodeFlagNames(uint32_t flags) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {QL_PREVIEW_ON_CLIENT, "QL_PREVIEW_ON_CLIENT"}, {QL_SHOW_CONFIG_DLG, "QL_SHOW_CONFIG_DLG"},
        {QL_DM_IMGAREA, "QL_DM_IMGAREA"},               {QL_DONT_RESIZE, "QL_DONT_RESIZE"},
        {QL_DONT_MOVE, "QL_DONT_MOVE"},                 {QL_IGNORE_TRAYS, "QL_IGNORE_TRAYS"},
        {QL_MAX_PRIVUNI_SIZE, "QL_MAX_PRIVUNI_SIZE"}};
    std::string s;
    for (uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!(flags & bit)) continue;
        const char* name = nullptr;
        for (const auto& [value, text] : kNames)
            if (value == bit) name = text;
        if (!s.empty()) s += ' ';
        s += name ? std::string(name) : Hex(bit);
    }
    return s;
}

std::string FormatReportText(const InspectReport& r, bool listBlocks) {
    std::ostringstream o;
    o << (r.marker ? "transport stream" : r.framed ? "framed stream without marker" : "spool file") << ", "
      << r.streamBytes << " bytes\n";
    if (r.marker) o << "marker \"%%EMF\" at 0\n";
    if (r.devmode)
        o << "device mode block at " << r.devmode->offset << ": length " << r.devmode->length << ", form "
          << DevmodeFormName(r.devmode->form) << ": " << DevmodeText(r.devmode->devmode) << "\n";
    if (r.jdf) o << "JDF block at " << r.jdf->offset << ": length " << r.jdf->length << " (" << r.jdf->length - 5
                 << " ticket bytes)" << (r.jdf->ticket.empty() ? "" : ": \"" + r.jdf->ticket + "\"") << "\n";
    if (r.framed) {
        o << "framing from " << r.framingStart << ": " << r.dataBlocks << " data blocks (" << r.dataBlockBytes
          << " bytes), " << r.holeBlocks << " hole blocks (" << r.holeBlockBytes << " bytes)\n";
        if (listBlocks)
            for (const FrameBlock& b : r.blocks)
                o << "  block at " << b.offset << ": " << (b.hole ? "hole " : "data ") << b.length << " (logical "
                  << b.logicalPos << ")\n";
    } else if (r.marker) {
        o << "framing: none\n";
    }
    if (r.watermark)
        o << "watermark at " << r.watermark->offset << ": EMF page of " << r.watermark->length << " bytes, "
          << r.watermark->page.records << " records [" << CountsText(r.watermark->page.countsByType) << "]\n";
    for (const SpoolRecord& rec : r.records) {
        if (rec.copy > 0 && rec.copy < r.copies.size() && &rec == &r.records[r.copies[rec.copy].firstRecord])
            o << CopyText(r.copies[rec.copy], rec.copy);
        o << "record at " << rec.offset;
        if (r.framed) {
            if (rec.streamOffset)
                o << " (stream " << *rec.streamOffset << ")";
            else
                o << " (in a hole)";
        }
        o << ": type " << TypeLabel(rec.type) << ", size " << rec.size;
        if (rec.endsLoop) o << ", ends the record loop";
        if (!rec.documentName.empty()) o << ", document \"" << rec.documentName << "\"";
        if (!rec.outputName.empty()) o << ", output \"" << rec.outputName << "\"";
        if (rec.page)
            o << ", EMF " << rec.page->records << " records, device " << rec.page->deviceX << "x" << rec.page->deviceY
              << " px " << rec.page->millimetersX << "x" << rec.page->millimetersY << " mm ["
              << CountsText(rec.page->countsByType) << "]";
        if (rec.backDistance) {
            o << ", back " << *rec.backDistance;
            if (rec.target) o << " to record at " << *rec.target << " (type " << TypeLabel(*rec.targetType) << ")";
        }
        if (rec.devmode) o << ", " << DevmodeText(*rec.devmode);
        if (rec.font) o << ", " << EngineFontText(*rec.font);
        o << "\n";
    }
    o << "records: " << r.records.size() << ", pages: " << r.pages;
    if (!r.emfTotals.empty()) o << ", EMF records [" << CountsText(r.emfTotals) << "]";
    o << "\n";
    if (r.copies.size() > 1) o << "copies: " << r.copies.size() << "\n";
    o << "bitmap records: " << r.bitmapRecords << ", cached references: " << r.references.size()
      << ", resolved: " << r.resolvedReferences << "\n";
    for (const BitmapReference& ref : r.references) {
        if (ref.problem.empty())
            o << "  reference at " << ref.offset << " (position " << ref.position << "): image " << ref.imageNumber
              << ", distance " << ref.distance << " to " << EmfTypeName(ref.targetType) << " at " << *ref.target
              << "\n";
        else
            o << "unresolved: " << ref.problem << "\n";
    }
    for (const std::string& w : r.warnings) o << "warning: " << w << "\n";
    if (!r.ok) o << "malformed: " << r.error << "\n";
    return o.str();
}


} // namespace qltools
