// PDF documents in a job's port output: printer device contexts send each
// printed document to the port as a PDF. The host saves each one as a file of
// its own (the port file holds every document of the run one after another)
// and can render its pages to PNG images with poppler's pdftoppm.
#pragma once
#include "host/Machine.h"

#include <string>

namespace qlhost {

// Saves every PDF document of the report as "<output dir>/<port>-job<id>-<n>.pdf";
// with pngDir set, also renders it to "<pngDir>/<same name>-<page>.png" at
// pngDpi. Returns the report lines that say where they lie.
std::string SavePdfDocuments(const JobReport& report, const std::string& pngDir, int pngDpi = 100);

} // namespace qlhost
