// The simulated spooler: printers from the registry, job reading, port
// output, printer and job information, port types, device modes and injected
// faults. Every test ends with no handle left open.
#include "spool_test_util.h"

#include <filesystem>
#include <functional>
#include <fstream>

#include <unistd.h>

using namespace spooltest;
using pal::host::Fault;

namespace {

constexpr char kMachine[] = R"(Windows Registry Editor Version 5.00
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Laser]
"Printer Driver"="Generic Laser"
"Port"="LPT1:"
"Attributes"=dword:00000041
"SpoolDirectory"="C:\\spool"
"Location"="Floor 2"
"Description"="Laser by the door"
"Print Processor"="QLWinPrn"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge]
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT1:"
"Attributes"=dword:00000043
"Share Name"="qlsb"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\A Printer With A Very Long Name Of Forty Odd]
"Printer Driver"="Generic"
"Port"="FILE:"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT1:]
"PortType"="Quillon Print Port"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLHELD1:]
"PortType"="Quillon .relay Held Printing Server Port"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Local Port\Ports\LPT1:]
)";

// Closes a printer handle at the end of a scope.
struct Printer {
    explicit Printer(const char16_t* name, LPPRINTER_DEFAULTSW defaults = nullptr) {
        std::u16string copy(name);
        ok = OpenPrinterW(copy.data(), &h, defaults);
        error = ok ? 0 : GetLastError();
    }
    ~Printer() {
        if (h) ClosePrinter(h);
    }
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    HANDLE h = nullptr;
    BOOL ok = FALSE;
    DWORD error = 0;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

DWORD StartDoc(HANDLE h, const char16_t* name = u"doc", const char16_t* datatype = u"RAW") {
    std::u16string doc(name), type(datatype);
    DOC_INFO_1W info{doc.data(), nullptr, type.data()};
    return StartDocPrinterW(h, 1, reinterpret_cast<LPBYTE>(&info));
}

class Spooler : public ::testing::Test {
protected:
    void SetUp() override {
        root = std::filesystem::temp_directory_path() /
               ("pal_spool_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        std::filesystem::create_directories(root);
        pal::host::SetDriveRoot(root.string());
        pal::host::SetOutputDirectory((root / "out").string());
        pal::host::ClearRegistry();
        pal::host::ResetSpooler();
        LoadReg(kMachine);
        handlesBefore = pal::host::OpenHandles().size();
    }
    void TearDown() override {
        EXPECT_EQ(pal::host::OpenHandles().size(), handlesBefore);
        pal::host::SetCurrentJob(0);
        pal::host::ResetSpooler();
        pal::host::ClearRegistry();
        std::filesystem::remove_all(root);
    }
    DWORD Submit(const char16_t* printer, std::vector<uint8_t> data) {
        pal::host::JobSpec request;
        request.printer = printer;
        request.data = std::move(data);
        return pal::host::SubmitJob(request);
    }
    std::filesystem::path root;
    size_t handlesBefore = 0;
};

TEST_F(Spooler, OpensPrintersJobsAndChannelsByName) {
    auto names = pal::host::PrinterNames();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], u"A Printer With A Very Long Name Of Forty Odd");
    EXPECT_EQ(names[1], u"Office Laser");

    EXPECT_TRUE(Printer(u"office laser").ok);
    EXPECT_TRUE(Printer(u"\\\\ANYHOST\\Office Laser").ok);
    EXPECT_TRUE(Printer(u",XcvPort QLPORT1:").ok);
    EXPECT_TRUE(Printer(u"\\\\SRV1\\,XcvPort LPT1:").ok);
    EXPECT_TRUE(Printer(u",XcvMonitor Quillon Port").ok);
    for (const char16_t* bad : {u"Nobody", u"", u",XcvPort NOPORT:", u",XcvMonitor Nobody", u"\\\\SRV1",
                                u"Office Laser, Job 99", u"Office Laser, Job x"}) {
        Printer p(bad);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, ERROR_INVALID_PRINTER_NAME) << pal::host::ToUtf8(bad);
    }
    HANDLE h = nullptr;
    EXPECT_FALSE(OpenPrinterW(nullptr, &h, nullptr));
    EXPECT_FALSE(ClosePrinter(reinterpret_cast<HANDLE>(0x42)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    Printer open(u"Office Laser");
    auto handles = pal::host::OpenHandles();
    EXPECT_NE(std::find(handles.begin(), handles.end(), "printer Office Laser"), handles.end());
}

TEST_F(Spooler, ReadsJobDataSequentially) {
    const auto data = Pattern(1000);
    const DWORD first = Submit(u"office laser", data);
    const DWORD second = Submit(u"QL Spool Bridge", {1, 2, 3});
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(second, 3u);
    EXPECT_EQ(Submit(u"Nobody", {1}), 0u);
    EXPECT_EQ(pal::host::JobReadName(first), u"Office Laser, Job 2");
    EXPECT_EQ(pal::host::GetJobSpec(first)->data, data);

    Printer job(pal::host::JobReadName(first).c_str());
    ASSERT_TRUE(job.ok);
    std::vector<uint8_t> got;
    BYTE buf[384];
    DWORD n = 0;
    while (ReadPrinter(job.h, buf, sizeof buf, &n) && n) got.insert(got.end(), buf, buf + n);
    EXPECT_EQ(got, data);
    // At the end: success with zero bytes, again and again.
    EXPECT_TRUE(ReadPrinter(job.h, buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);

    // A job is opened only through its own printer.
    EXPECT_FALSE(Printer(u"Office Laser, Job 3").ok);
    EXPECT_TRUE(Printer(u"ql spool bridge, Job 3").ok);
    // Reading needs a job handle; writing needs a document.
    Printer printer(u"Office Laser");
    EXPECT_FALSE(ReadPrinter(printer.h, buf, sizeof buf, &n));
    EXPECT_FALSE(WritePrinter(printer.h, buf, 1, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SPL_NO_STARTDOC));
    EXPECT_FALSE(EndDocPrinter(printer.h));
    EXPECT_FALSE(StartPagePrinter(printer.h));
}

TEST_F(Spooler, DocumentsGoToThePortFileAndAppend) {
    const auto one = Pattern(3000, 1), two = Pattern(500, 2);
    {
        Printer p(u"Office Laser");
        pal::host::SetCurrentJob(Submit(u"Office Laser", {0}));
        EXPECT_EQ(StartDoc(p.h, u"first"), 2u);
        EXPECT_TRUE(StartPagePrinter(p.h));
        DWORD n = 0;
        EXPECT_TRUE(WritePrinter(p.h, const_cast<uint8_t*>(one.data()), 1000, &n));
        EXPECT_TRUE(WritePrinter(p.h, const_cast<uint8_t*>(one.data()) + 1000, 2000, &n));
        EXPECT_EQ(n, 2000u);
        EXPECT_TRUE(EndPagePrinter(p.h));
        EXPECT_EQ(StartDoc(p.h), 0u); // a document is already started
        EXPECT_TRUE(EndDocPrinter(p.h));
        pal::host::SetCurrentJob(0);
        const DWORD id = StartDoc(p.h, u"second", u"NT EMF 1.008");
        EXPECT_GT(id, 2u); // no job on this thread: a fresh id
        EXPECT_TRUE(WritePrinter(p.h, const_cast<uint8_t*>(two.data()), 500, &n));
        EXPECT_TRUE(EndDocPrinter(p.h));
    }
    auto docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0].printer, u"Office Laser");
    EXPECT_EQ(docs[0].port, u"LPT1:");
    EXPECT_EQ(docs[0].document, u"first");
    EXPECT_EQ(docs[0].jobId, 2u);
    EXPECT_EQ(docs[0].offset, 0u);
    EXPECT_EQ(docs[0].bytes, 3000u);
    EXPECT_TRUE(docs[0].ended);
    EXPECT_EQ(docs[1].datatype, u"NT EMF 1.008");
    EXPECT_EQ(docs[1].jobId, 0u);
    EXPECT_EQ(docs[1].offset, 3000u);
    EXPECT_EQ(docs[0].outputPath, (root / "out" / "LPT1_").string());
    EXPECT_EQ(pal::host::PortDocumentBytes(docs[0]), one);
    EXPECT_EQ(pal::host::PortDocumentBytes(docs[1]), two);
    EXPECT_EQ(FileBytes(docs[0].outputPath).size(), 3500u);

    // After a reset the port's next document starts the file afresh.
    pal::host::ResetSpooler();
    {
        Printer p(u"Office Laser");
        ASSERT_NE(StartDoc(p.h), 0u);
        DWORD n = 0;
        EXPECT_TRUE(WritePrinter(p.h, const_cast<uint8_t*>(two.data()), 10, &n));
        // ClosePrinter without EndDocPrinter: the document stays unended.
    }
    docs = pal::host::PortDocuments();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_FALSE(docs[0].ended);
    EXPECT_EQ(FileBytes(docs[0].outputPath).size(), 10u);
}

TEST_F(Spooler, GetPrinterSizesAndPacksInfo) {
    Printer p(u"QL Spool Bridge");
    DWORD needed = 0;
    EXPECT_FALSE(GetPrinterW(p.h, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2W) + sizeof(DEVMODEW));
    std::vector<uint8_t> buf(needed + 16, 0xCC);
    DWORD again = 0;
    EXPECT_FALSE(GetPrinterW(p.h, 2, buf.data(), needed - 1, &again));
    EXPECT_EQ(again, needed);
    EXPECT_EQ(buf[0], 0xCC); // nothing written into a short buffer
    ASSERT_TRUE(GetPrinterW(p.h, 2, buf.data(), needed, &again));
    EXPECT_EQ(buf[needed], 0xCC); // nothing written past it
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buf.data());
    auto inside = [&](const void* ptr) {
        auto* b = static_cast<const uint8_t*>(ptr);
        return b >= buf.data() + sizeof(PRINTER_INFO_2W) && b < buf.data() + needed;
    };
    EXPECT_EQ(info->pServerName, nullptr);
    for (auto [got, want] : {std::pair{info->pPrinterName, u"QL Spool Bridge"}, {info->pDriverName, u"QL Spool Bridge"},
                             {info->pPortName, u"QLPORT1:"}, {info->pShareName, u"qlsb"}, {info->pDatatype, u"RAW"}})
        EXPECT_EQ(std::u16string(got), want);
    EXPECT_TRUE(inside(info->pPortName) && inside(info->pDriverName) && inside(info->pDevMode));
    EXPECT_EQ(info->Attributes, 0x43u);
    EXPECT_EQ(info->pDevMode->dmSize, sizeof(DEVMODEW));
    EXPECT_EQ(std::u16string(info->pDevMode->dmDeviceName), u"QL Spool Bridge");

    Printer laser(u"Office Laser");
    ASSERT_FALSE(GetPrinterW(laser.h, 1, nullptr, 0, &needed));
    std::vector<uint8_t> one(needed);
    ASSERT_TRUE(GetPrinterW(laser.h, 1, one.data(), needed, &needed));
    const auto* info1 = reinterpret_cast<const PRINTER_INFO_1W*>(one.data());
    EXPECT_EQ(std::u16string(info1->pName), u"Office Laser");
    EXPECT_EQ(std::u16string(info1->pDescription), u"Office Laser,Generic Laser,Floor 2");
    EXPECT_EQ(std::u16string(info1->pComment), u"Laser by the door");
    EXPECT_FALSE(GetPrinterW(laser.h, 7, one.data(), needed, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

TEST_F(Spooler, AnswersGetPortTypeOnPortChannels) {
    auto ask = [](const char16_t* channel, const char16_t* command, DWORD cbOut, std::u16string* answer,
                  DWORD* needed) -> DWORD {
        Printer x(channel);
        EXPECT_TRUE(x.ok) << pal::host::ToUtf8(channel);
        std::vector<uint8_t> out(cbOut + 2, 0);
        DWORD status = 0xFFFF;
        EXPECT_TRUE(XcvDataW(x.h, command, nullptr, 0, out.data(), cbOut, needed, &status));
        if (answer) *answer = reinterpret_cast<const char16_t*>(out.data());
        return status;
    };
    std::u16string answer;
    DWORD needed = 0;
    EXPECT_EQ(ask(u",XcvPort QLPORT1:", u"GetPortType", 1024, &answer, &needed), 0u);
    EXPECT_EQ(answer, u"Quillon Print Port");
    EXPECT_EQ(needed, 38u);
    // Port names are matched in any letter case.
    EXPECT_EQ(ask(u",XcvPort qlheld1:", u"GetPortType", 1024, &answer, &needed), 0u);
    EXPECT_EQ(answer, u"Quillon .relay Held Printing Server Port");
    // A port whose monitor has no port type.
    EXPECT_EQ(ask(u",XcvPort LPT1:", u"GetPortType", 1024, nullptr, &needed), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // A printer's port that no monitor lists opens but has no type either.
    EXPECT_EQ(ask(u",XcvPort FILE:", u"GetPortType", 1024, nullptr, &needed), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // Too small an answer buffer.
    EXPECT_EQ(ask(u",XcvPort QLPORT1:", u"GetPortType", 36, &answer, &needed),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 38u);
    EXPECT_EQ(answer, u"");
    EXPECT_EQ(ask(u",XcvPort QLPORT1:", u"Nonsense", 1024, nullptr, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ask(u",XcvMonitor Quillon Port", u"GetPortType", 1024, nullptr, &needed),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Printer printer(u"Office Laser");
    BYTE out[16];
    DWORD status = 0;
    EXPECT_FALSE(XcvDataW(printer.h, u"GetPortType", nullptr, 0, out, sizeof out, &needed, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Spooler, JobInformationAndControl) {
    pal::host::JobSpec request;
    request.printer = u"Office Laser";
    request.document = u"Report.pdf";
    request.datatype = u"NT EMF 1.008";
    request.parameters = u"COPIES=2;";
    request.user = u"alice";
    request.totalPages = 4;
    request.data = Pattern(1234);
    const DWORD id = pal::host::SubmitJob(request);
    Printer p(u"Office Laser");

    DWORD needed = 0;
    EXPECT_FALSE(GetJobW(p.h, id, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<uint8_t> buf(needed);
    ASSERT_TRUE(GetJobW(p.h, id, 2, buf.data(), needed, &needed));
    const auto* job = reinterpret_cast<const JOB_INFO_2W*>(buf.data());
    EXPECT_EQ(job->JobId, id);
    for (auto [got, want] : {std::pair{job->pPrinterName, u"Office Laser"}, {job->pUserName, u"alice"},
                             {job->pMachineName, u"\\\\CLIENT"}, {job->pDocument, u"Report.pdf"},
                             {job->pDatatype, u"NT EMF 1.008"}, {job->pParameters, u"COPIES=2;"},
                             {job->pDriverName, u"Generic Laser"}, {job->pPrintProcessor, u"QLWinPrn"}})
        EXPECT_EQ(std::u16string(got), want);
    EXPECT_EQ(job->Size, 1234u);
    EXPECT_EQ(job->TotalPages, 4u);
    ASSERT_NE(job->pDevMode, nullptr);
    EXPECT_EQ(job->pDevMode->dmPaperSize, DMPAPER_A4);

    ASSERT_FALSE(GetJobW(p.h, id, 1, nullptr, 0, &needed));
    std::vector<uint8_t> buf1(needed);
    ASSERT_TRUE(GetJobW(p.h, id, 1, buf1.data(), needed, &needed));
    EXPECT_EQ(std::u16string(reinterpret_cast<const JOB_INFO_1W*>(buf1.data())->pDocument), u"Report.pdf");
    EXPECT_FALSE(GetJobW(p.h, id + 50, 2, buf.data(), static_cast<DWORD>(buf.size()), &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(SetJobW(p.h, id, 0, nullptr, JOB_CONTROL_PAUSE));
    EXPECT_EQ(pal::host::JobStatus(id), static_cast<DWORD>(JOB_STATUS_PAUSED));
    EXPECT_TRUE(SetJobW(p.h, id, 0, nullptr, JOB_CONTROL_RESUME));
    EXPECT_TRUE(SetJobW(p.h, id, 0, nullptr, JOB_CONTROL_SENT_TO_PRINTER));
    EXPECT_EQ(pal::host::JobStatus(id), static_cast<DWORD>(JOB_STATUS_PRINTED));
    EXPECT_FALSE(SetJobW(p.h, id, 0, nullptr, 99));
    EXPECT_FALSE(SetJobW(p.h, id + 50, 0, nullptr, JOB_CONTROL_CANCEL));

    // A cancelled job refuses further output of its document.
    pal::host::SetCurrentJob(id);
    ASSERT_EQ(StartDoc(p.h), id);
    EXPECT_TRUE(SetJobW(p.h, id, 0, nullptr, JOB_CONTROL_CANCEL));
    EXPECT_TRUE(pal::host::JobStatus(id) & JOB_STATUS_DELETING);
    BYTE b = 0;
    DWORD n = 0;
    EXPECT_FALSE(WritePrinter(p.h, &b, 1, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_CANCELLED));
    EXPECT_TRUE(EndDocPrinter(p.h));
    EXPECT_EQ(pal::host::JobCommands(id),
              (std::vector<DWORD>{JOB_CONTROL_PAUSE, JOB_CONTROL_RESUME, JOB_CONTROL_SENT_TO_PRINTER,
                                  JOB_CONTROL_CANCEL}));
}

TEST_F(Spooler, DocumentPropertiesGivesDefaultAndMerges) {
    Printer p(u"A Printer With A Very Long Name Of Forty Odd");
    LONG size = DocumentPropertiesW(nullptr, p.h, nullptr, nullptr, nullptr, 0);
    ASSERT_EQ(size, static_cast<LONG>(sizeof(DEVMODEW)));
    DEVMODEW dm{};
    EXPECT_EQ(DocumentPropertiesW(nullptr, p.h, nullptr, &dm, nullptr, DM_OUT_BUFFER), IDOK);
    EXPECT_EQ(dm.dmSpecVersion, 0x401);
    EXPECT_EQ(dm.dmDriverExtra, 0);
    EXPECT_EQ(dm.dmPaperSize, DMPAPER_A4);
    EXPECT_EQ(dm.dmOrientation, 1);
    EXPECT_EQ(dm.dmPrintQuality, 600);
    EXPECT_EQ(dm.dmCopies, 1);
    EXPECT_EQ(std::u16string(dm.dmDeviceName), u"A Printer With A Very Long Name");
    EXPECT_EQ(std::u16string(dm.dmDeviceName).size(), 31u);

    // DM_IN_BUFFER takes only the fields the input names.
    DEVMODEW in = dm;
    in.dmFields = DM_COPIES;
    in.dmCopies = 3;
    in.dmOrientation = 2;
    DEVMODEW out{};
    EXPECT_EQ(DocumentPropertiesW(nullptr, nullptr, const_cast<LPWSTR>(u"a printer with a very long name of forty odd"),
                                  &out, &in, DM_IN_BUFFER | DM_OUT_BUFFER),
              IDOK);
    EXPECT_EQ(out.dmCopies, 3);
    EXPECT_EQ(out.dmOrientation, 1);
    EXPECT_TRUE(out.dmFields & DM_COPIES);

    EXPECT_EQ(DocumentPropertiesW(nullptr, nullptr, const_cast<LPWSTR>(u"Nobody"), nullptr, nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
    EXPECT_EQ(DocumentPropertiesW(nullptr, p.h, nullptr, nullptr, nullptr, DM_OUT_BUFFER), -1);
}

// Jobs live in spool files: "<id>.SPL" and "<id>.SHD" in the printer's spool
// directory, read by ReadPrinter, removed with the job. A failed write, a
// cancel during submission, and a spool file that vanishes or is cut short
// under the reader fail cleanly and leave no spool file behind.
TEST_F(Spooler, JobsLiveInSpoolFilesThatGoWithTheJob) {
    const std::filesystem::path dir = root / "spool";
    std::filesystem::create_directories(dir);
    auto spoolFiles = [&] {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir)) n += e.path().extension() == ".SPL" ||
                                                                          e.path().extension() == ".SHD";
        return n;
    };
    const auto data = Pattern(5000);
    const DWORD id = Submit(u"Office Laser", data);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(pal::host::JobSpoolFile(id), (dir / (std::to_string(id) + ".SPL")).string());
    EXPECT_EQ(FileBytes(pal::host::JobSpoolFile(id)), data);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / (std::to_string(id) + ".SHD")));
    pal::host::DeleteJob(id);
    EXPECT_EQ(spoolFiles(), 0u);

    struct Case {
        const char* name;
        std::function<void(DWORD)> during;  // between the first and the second block
        DWORD error;
    } cases[] = {
        {"disk full", [](DWORD) {
             pal::host::InjectFault(Fault{"SpoolFileWrite", 0, 1500, ERROR_DISK_FULL, false, false});
         }, ERROR_DISK_FULL},
        {"cancelled", [](DWORD job) {
             Printer p(u"Office Laser");
             EXPECT_TRUE(SetJobW(p.h, job, 0, nullptr, JOB_CONTROL_CANCEL));
         }, ERROR_PRINT_CANCELLED},
    };
    for (const Case& c : cases) {
        pal::host::JobSpec request;
        request.printer = u"Office Laser";
        DWORD error = 0;
        const DWORD job = pal::host::BeginJob(request, &error);
        ASSERT_NE(job, 0u) << c.name;
        EXPECT_FALSE(Printer(pal::host::JobReadName(job).c_str()).ok) << c.name << ": still spooling";
        EXPECT_TRUE(pal::host::AppendJobData(job, std::span(data).first(1000), &error)) << c.name;
        c.during(job);
        EXPECT_FALSE(pal::host::AppendJobData(job, std::span(data).subspan(1000), &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        EXPECT_FALSE(pal::host::CommitJob(job, &error)) << c.name;
        EXPECT_EQ(spoolFiles(), 0u) << c.name;
        pal::host::ClearFaults();
    }

    // The spool file cut short, then gone, while a reader has the job open.
    const DWORD read = Submit(u"Office Laser", data);
    Printer job(pal::host::JobReadName(read).c_str());
    ASSERT_TRUE(job.ok);
    BYTE buf[1000];
    DWORD n = 0;
    EXPECT_TRUE(ReadPrinter(job.h, buf, sizeof buf, &n));
    std::filesystem::resize_file(pal::host::JobSpoolFile(read), 1500);
    EXPECT_FALSE(ReadPrinter(job.h, buf, sizeof buf, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    std::filesystem::remove(pal::host::JobSpoolFile(read));
    EXPECT_FALSE(ReadPrinter(job.h, buf, sizeof buf, &n));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    pal::host::DeleteJob(read);
    EXPECT_EQ(spoolFiles(), 1u);  // the shadow file waits for the reader
}

} // namespace
