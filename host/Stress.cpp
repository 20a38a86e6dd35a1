#include "host/Stress.h"
#include "host/Parallel.h"
#include "host/SampleJobs.h"
#include "tools/lib/SpoolRestore.h"
#include "tools/lib/SpoolWriter.h"
#include "tools/lib/StreamReader.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <malloc.h>
#include <map>
#include <optional>
#include <random>
#include <sstream>

namespace qlhost {

const char kStressHelp[] =
    "Usage: qlspool stress [--threads N] [--jobs N] [--cancel P%] [--pause P%]\n"
    "                      [--seed S] [--corpus DIR] [OPTIONS]\n"
    "\n"
    "Runs a mixed load of concurrent jobs, the way the spooler runs them: N\n"
    "threads (default 8) print the jobs (default 250), each job on a printing\n"
    "thread of its own with its own job handle, paused, resumed and cancelled\n"
    "from its controlling thread. The jobs are drawn at random (--seed, default 1)\n"
    "from: RAW text on every printer; a packed RAW job, a TEXT and an EMF job on\n"
    "ordinary printers; a spool toolkit job and each spool file (*.spl) in DIR on\n"
    "every gateway printer. --cancel and --pause give the share of jobs cancelled\n"
    "at a random time, and paused and resumed later (default 0 %).\n"
    "\n"
    "Checks: a printed job's port output is right (RAW: the same bytes, packed:\n"
    "the unpacked bytes, TEXT and EMF: a whole PDF, gateway: transport streams the\n"
    "inspector reads without error and that restore to a spool file); a cancelled\n"
    "job is never counted as printed; no handle is left open at the end; resident\n"
    "memory at the end is within 5 % of what it was after the first tenth of the\n"
    "jobs. Prints a table per job kind and printer; exits with 1 on any failure.\n";

namespace {

// What a printed job's port output must be.
enum class Expect {
    Same,    // the given bytes, exactly
    Pdf,     // a whole PDF document (ordinary printers render text and EMF jobs)
    Stream,  // transport streams the inspector reads without error and the receiver restores
};

struct JobKind {
    std::string name;
    std::u16string printer, datatype;
    std::vector<uint8_t> data, devmode;
    Expect expect = Expect::Same;
    std::vector<uint8_t> expected;  // Expect::Same
    uint32_t pages = 0;             // Expect::Stream: page records of the spool file
};

bool IsGatewayDriver(const std::u16string& driver) { return driver.find(u"Bridge") != std::u16string::npos; }

// A small gateway job of the spool toolkit: two pages, a logo and noise at 8
// and 24 bits per pixel, text in a created font, engine fonts before pages.
std::vector<uint8_t> ToolkitGatewayJob() {
    qltools::SpoolJobOptions job;
    job.pages = 2;
    job.images = {qltools::ImageKind::Logo, qltools::ImageKind::Noise};
    job.bitsPerPixel = {8, 24};
    job.imageWidth = 160;
    job.imageHeight = 120;
    job.font = u"Arial";
    job.engineFontBytes = 256;
    job.documentName = u"qlspool stress job";
    return qltools::GenerateSpoolJob(job);
}

// Printers that print natively (printer data "AGNP"): their gateway jobs end
// as jobs the view library submits to other printers, which the stress does
// not follow; the native printing tests check that path end to end.
bool PrintsNatively(const std::u16string& printer) {
    const std::u16string key = u"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\" + printer + u"\\PrinterDriverData";
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = 0;
    const bool native = RegQueryValueExW(h, u"AGNP", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
                        type == REG_SZ && size > sizeof(WCHAR);
    RegCloseKey(h);
    return native;
}

// Every printer gets RAW text; ordinary printers also a packed RAW job, a TEXT
// and an EMF job; gateway printers (but those that print natively) a
// toolkit-made job and the corpus's spool files.
std::vector<JobKind> Catalogue(const Machine& machine, const std::string& corpusDir) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> corpus;
    std::error_code ec;
    if (!corpusDir.empty()) {
        for (const auto& entry : std::filesystem::directory_iterator(corpusDir, ec)) {
            if (entry.path().extension() != ".spl") continue;
            auto bytes = qltools::ReadWholeFile(entry.path().string());
            // Spool files only: they begin with the header's version 0x00010000.
            static constexpr uint8_t kVersion[] = {0, 0, 1, 0};
            if (bytes && bytes->size() >= 8 && std::equal(kVersion, kVersion + 4, bytes->begin()))
                corpus.emplace_back(entry.path().filename().string(), std::move(*bytes));
        }
        std::sort(corpus.begin(), corpus.end());
    }
    const std::vector<uint8_t> text = SampleTextPage();
    const std::vector<uint8_t> longText = SampleLongTextPage();
    const std::vector<uint8_t> packed = SamplePackedJob(longText);
    const std::vector<uint8_t> textJob = SampleTextJob();
    const std::vector<uint8_t> emfJob = SamplePlaybackSpool();
    const std::vector<uint8_t> gatewayJob = ToolkitGatewayJob();

    std::vector<JobKind> kinds;
    for (const PrinterInfo& p : machine.Printers()) {
        const std::string printer = pal::host::ToUtf8(p.name);
        kinds.push_back({"raw", p.name, u"RAW", text, {}, Expect::Same, text});
        if (!IsGatewayDriver(p.driver)) {
            kinds.push_back({"raw packed", p.name, u"RAW", packed, {}, Expect::Same, longText});
            kinds.push_back({"text", p.name, u"TEXT", textJob, {}, Expect::Pdf, {}});
            kinds.push_back({"emf", p.name, u"NT EMF 1.008", emfJob, {}, Expect::Pdf, {}});
            continue;
        }
        if (PrintsNatively(p.name)) continue;
        kinds.push_back({"gateway toolkit", p.name, u"NT EMF 1.008", gatewayJob, SampleGatewayDevmode(p.name),
                         Expect::Stream, {}});
        for (const auto& [file, bytes] : corpus)
            kinds.push_back({"corpus " + file, p.name, u"NT EMF 1.008", bytes, {}, Expect::Stream, {}});
    }
    for (JobKind& k : kinds)
        if (k.expect == Expect::Stream) k.pages = qltools::InspectStream(k.data).pages;
    return kinds;
}

// Why a job's outcome is wrong for a printed job; "" when it is right.
std::string CheckPrinted(const JobKind& kind, const JobReport& r) {
    if (!r.error.empty()) return r.error;
    if (!r.opened) return "OpenPrintProcessor failed with error " + std::to_string(r.openError);
    if (!r.printResult) return "PrintDocumentOnPrintProcessor failed with error " + std::to_string(r.printError);
    if (r.documents.size() != 1) return std::to_string(r.documents.size()) + " port documents, expected 1";
    const pal::host::PortDocument& doc = r.documents[0];
    if (!doc.ended) return "the port document was not ended";
    const std::vector<uint8_t> bytes = pal::host::PortDocumentBytes(doc);
    if (bytes.size() != doc.bytes) return "the port file holds less than the document wrote";
    switch (kind.expect) {
    case Expect::Same:
        if (bytes != kind.expected)
            return "port output differs from the job's bytes (" + std::to_string(bytes.size()) + " bytes, expected " +
                   std::to_string(kind.expected.size()) + ")";
        return "";
    case Expect::Pdf: {
        static constexpr char kHead[] = "%PDF-", kEnd[] = "%%EOF";
        const auto end = std::search(bytes.end() - std::min<ptrdiff_t>(bytes.size(), 64), bytes.end(), kEnd, kEnd + 5);
        if (bytes.size() < 5 || std::memcmp(bytes.data(), kHead, 5) != 0 || end == bytes.end())
            return "port output is not a whole PDF document";
        return "";
    }
    case Expect::Stream: {
        if (r.streams.empty() || r.streams[0].empty()) return "port output holds no transport stream";
        for (const TransportStream& s : r.streams[0]) {
            if (!s.report.ok) return "transport stream at " + std::to_string(s.offset) + ": " + s.report.error;
            // A cancelled job may end a well-formed stream early.
            if (s.report.pages != kind.pages)
                return "transport stream at " + std::to_string(s.offset) + " holds " + std::to_string(s.report.pages) +
                       " of " + std::to_string(kind.pages) + " pages";
        }
        const qltools::RestoreResult restored = qltools::RestoreSpool(bytes);
        if (!restored.ok) return "the transport stream does not restore: " + restored.error;
        return "";
    }
    }
    return "";
}

bool WasCancelled(const JobReport& r) {
    return std::any_of(r.controls.begin(), r.controls.end(), [](const ControlRecord& c) {
        return c.command == JOB_CONTROL_CANCEL && c.statusAfter && (*c.statusAfter & 0x1);
    });
}

// Resident memory of this process in KiB (0 when unknown), after the heap has
// given its free pages back to the system.
uint64_t ResidentKiB() {
    malloc_trim(0);
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

struct Tally {
    unsigned jobs = 0, printed = 0, cancelled = 0, partial = 0, failed = 0;
    uint64_t printMs = 0;
};

} // namespace

bool RunStress(Machine& machine, const StressOptions& o, std::ostream& out, std::ostream& err) {
    // Two heap arenas for all threads, as long-running services set it: with
    // one arena per thread (the default, up to eight per core) every arena
    // keeps the pages its thread's largest job touched, and resident memory
    // climbs with the number of threads that ever ran a large job although
    // the heap in use stays flat.
    mallopt(M_ARENA_MAX, 2);
    // Large blocks (pages, bitmaps, job data) always come from and go back to
    // the system. By default the threshold rises to the largest block freed
    // so far, after which such blocks are carved from the heap between small
    // long-lived ones, and the heap cannot shrink past them.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    const std::vector<JobKind> kinds = Catalogue(machine, o.corpusDir);
    std::mt19937_64 random(o.seed);
    auto percent = [&](unsigned p) { return std::uniform_int_distribution<unsigned>(0, 99)(random) < p; };
    auto ms = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(random); };

    // Each kind of job is as likely as another (the corpus files count as one
    // kind), then each printer that takes it.
    std::map<std::string, std::vector<size_t>> families;
    for (size_t k = 0; k < kinds.size(); ++k)
        families[kinds[k].name.rfind("corpus ", 0) == 0 ? "corpus" : kinds[k].name].push_back(k);
    std::vector<const std::vector<size_t>*> familyList;
    for (const auto& [name, members] : families) familyList.push_back(&members);

    // Every job is drawn now, so the run is the same for a seed whatever the
    // threads do; its bytes are copied only when a thread takes it.
    struct Plan {
        size_t kind = 0;
        std::optional<unsigned> pauseMs, resumeMs, cancelMs;
    };
    std::vector<Plan> plans(o.jobs);
    for (size_t i = 0; i < plans.size(); ++i) {
        Plan& p = plans[i];
        // The first jobs take each kind in turn, so that the memory measured
        // after the first tenth already holds every path's one-time set-up
        // (fonts, the renderer, the codec).
        const size_t family = i < familyList.size()
                                  ? i
                                  : std::uniform_int_distribution<size_t>(0, familyList.size() - 1)(random);
        const auto& members = *familyList[family];
        p.kind = members[std::uniform_int_distribution<size_t>(0, members.size() - 1)(random)];
        if (percent(o.pausePercent)) {
            p.pauseMs = ms(0, 10);
            p.resumeMs = *p.pauseMs + ms(1, 30);
        }
        if (percent(o.cancelPercent)) p.cancelMs = ms(0, 40);
    }
    auto make = [&](size_t i) {
        const JobKind& k = kinds[plans[i].kind];
        JobOptions j;
        j.printer = k.printer;
        j.datatype = k.datatype;
        j.document = pal::host::FromUtf8("stress " + std::to_string(i + 1) + " " + k.name);
        j.data = k.data;
        j.devmode = k.devmode;
        j.timeoutMs = 120000;
        j.pauseAfterMs = plans[i].pauseMs;
        j.resumeAfterMs = plans[i].resumeMs;
        j.cancelAfterMs = plans[i].cancelMs;
        return j;
    };

    const std::vector<std::string> handlesBefore = pal::host::OpenHandles();
    const size_t firstTenth = std::max<size_t>(1, o.jobs / 10);
    std::map<std::string, Tally> tallies;
    Tally total;
    bool ok = true;
    auto check = [&](size_t i, const JobReport& r) {
        const JobKind& k = kinds[plans[i].kind];
        Tally& t = tallies[k.name + "|" + pal::host::ToUtf8(k.printer)];
        ++t.jobs;
        t.printMs += r.printMs;
        const std::string why = CheckPrinted(k, r);
        const bool hung = std::any_of(r.controls.begin(), r.controls.end(),
                                      [](const ControlRecord& c) { return c.fromTimeout; });
        std::string failure;
        if (hung) {
            failure = "the job hung and was cancelled by the host";
        } else if (r.closed && !r.closeResult) {
            failure = "ClosePrintProcessor failed with error " + std::to_string(r.closeError);
        } else if (why.empty()) {
            ++t.printed;
        } else if (WasCancelled(r)) {
            // Not counted as printed, whatever reached the port before the cancel.
            ++t.cancelled;
            if (std::any_of(r.documents.begin(), r.documents.end(), [](const auto& d) { return d.bytes > 0; }))
                ++t.partial;
        } else {
            failure = why;
        }
        if (!failure.empty()) {
            ++t.failed;
            ok = false;
            err << "qlspool: job " << r.jobId << " (" << k.name << " on " << pal::host::ToUtf8(k.printer)
                << "): " << failure << "\n";
        }
        // What the process records for every job (port monitor calls,
        // identities, debugger output) is dropped as it comes.
        machine.TakeMonitorCalls();
        pal::host::TakeIdentityRecords();
        pal::host::TakeDebugOutput();
        pal::host::TakeMessageBoxes();
    };
    // Memory is measured when no job is in flight: after the first tenth of
    // the jobs (the run waits for all of them) and at the end.
    RunJobsInParallel(machine, firstTenth, o.threads, make, check);
    const uint64_t rssBase = ResidentKiB();
    RunJobsInParallel(
        machine, o.jobs - firstTenth, o.threads, [&](size_t i) { return make(firstTenth + i); },
        [&](size_t i, const JobReport& r) { check(firstTenth + i, r); });
    const uint64_t rssEnd = ResidentKiB();

    std::map<std::string, int> before;
    for (const std::string& s : handlesBefore) ++before[s];
    std::vector<std::string> leaked;
    for (const std::string& s : pal::host::OpenHandles())
        if (before[s]-- <= 0) leaked.push_back(s);

    out << "Stress: " << o.jobs << " jobs on " << o.threads << " threads, " << o.cancelPercent << " % cancelled, "
        << o.pausePercent << " % paused, seed " << o.seed << "\n\n";
    size_t nameWidth = 4;
    for (const JobKind& k : kinds) nameWidth = std::max(nameWidth, k.name.size() + 2);
    const int w = static_cast<int>(nameWidth);
    out << std::left << std::setw(w) << "job" << std::setw(30) << "printer" << std::right << std::setw(6) << "jobs"
        << std::setw(9) << "printed" << std::setw(11) << "cancelled" << std::setw(9) << "partial" << std::setw(8)
        << "failed" << std::setw(9) << "avg ms" << "\n";
    for (const auto& [key, t] : tallies) {
        const size_t bar = key.find('|');
        out << std::left << std::setw(w) << key.substr(0, bar) << std::setw(30) << key.substr(bar + 1) << std::right
            << std::setw(6) << t.jobs << std::setw(9) << t.printed << std::setw(11) << t.cancelled << std::setw(9)
            << t.partial << std::setw(8) << t.failed << std::setw(9) << (t.jobs ? t.printMs / t.jobs : 0) << "\n";
        total.jobs += t.jobs;
        total.printed += t.printed;
        total.cancelled += t.cancelled;
        total.partial += t.partial;
        total.failed += t.failed;
        total.printMs += t.printMs;
    }
    out << std::left << std::setw(w + 30) << "total" << std::right << std::setw(6) << total.jobs << std::setw(9)
        << total.printed << std::setw(11) << total.cancelled << std::setw(9) << total.partial << std::setw(8)
        << total.failed << std::setw(9) << (total.jobs ? total.printMs / total.jobs : 0) << "\n\n";

    out << "handles left open: " << leaked.size() << "\n";
    for (const std::string& s : leaked) err << "qlspool: handle left open: " << s << "\n";
    const double growth = rssBase ? (static_cast<double>(rssEnd) - static_cast<double>(rssBase)) * 100.0 /
                                        static_cast<double>(rssBase)
                                  : 0.0;
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // A sanitizer's allocator holds freed memory back and its shadow memory
    // grows with every address touched: resident memory is not the jobs'.
    constexpr bool kMemoryChecked = false;
#else
    constexpr bool kMemoryChecked = true;
#endif
    const bool memoryChecked = kMemoryChecked && o.checkMemory;
    const bool flat = !memoryChecked || (rssBase && rssEnd <= rssBase + rssBase / 20);
    out << "resident memory: " << rssBase / 1024 << " MiB after " << firstTenth << " jobs, " << rssEnd / 1024
        << " MiB at the end (" << std::showpos << std::fixed << std::setprecision(1) << growth << std::noshowpos
        << " %)" << (!memoryChecked ? ", not checked" : flat ? "" : ", more than 5 % growth")
        << "\n";
    if (!flat) err << "qlspool: memory grew by more than 5 % after the first tenth of the jobs\n";
    ok = ok && leaked.empty() && flat;
    out << (ok ? "stress passed" : "stress FAILED") << "\n";
    return ok;
}

} // namespace qlhost
