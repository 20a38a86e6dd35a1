// qlspool as a user runs it: a subprocess from the bin directory.
#include "tests/host/TestDirs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using qlhost::test::ScratchDir;

namespace {

namespace fs = std::filesystem;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

size_t LineCount(const std::string& s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// Every one of `parts` occurs in `text`.
void ExpectHas(const std::string& text, std::initializer_list<std::string> parts) {
    for (const std::string& p : parts) EXPECT_NE(text.find(p), std::string::npos) << p << "\n" << text;
}

class Qlspool : public ::testing::Test {
protected:
    // Runs qlspool in the scratch directory.
    Result Run(const std::vector<std::string>& args) {
        std::string cmd = "cd " + Quote(m_dir.Path()) + " && " + Quote(std::string(QL_BIN_DIR) + "/qlspool");
        for (const auto& a : args) cmd += " " + Quote(a);
        cmd += " >" + Quote(m_dir / "stdout") + " 2>" + Quote(m_dir / "stderr") + " </dev/null";
        const int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = ReadText(m_dir / "stdout");
        r.err = ReadText(m_dir / "stderr");
        return r;
    }
    // `print` with the report of one job and a drive root of its own.
    Result Print(std::vector<std::string> args) {
        args.insert(args.begin(), {"print", "--quiet", "--verbose", "--drive-root", m_dir / "c"});
        return Run(args);
    }

    // A job file in the scratch directory.
    std::string JobFile() {
        const std::string path = m_dir / "job.txt";
        WriteText(path, "hello printer\r\n\f");
        return path;
    }

    // Checks the form of a bad-input failure: exit 2, one "qlspool: " line.
    static void ExpectBadInput(const Result& r, const std::string& text) {
        EXPECT_EQ(r.code, 2) << r.out << r.err;
        EXPECT_EQ(r.err.rfind("qlspool: ", 0), 0u) << r.err;
        EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    }

    ScratchDir m_dir;
};

TEST_F(Qlspool, HelpListsEveryCommandAndEachCommandHasItsOwnHelp) {
    const Result main = Run({"--help"});
    EXPECT_EQ(main.code, 0);
    EXPECT_NE(main.out.find("Examples:"), std::string::npos);
    const Result version = Run({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("qlspool ", 0), 0u) << version.out;
    for (const char* command : {"demo", "print", "pack", "spool", "inspect", "machine", "datatypes", "caps",
                                "printers", "events", "stress"}) {
        EXPECT_NE(main.out.find(std::string("  ") + command), std::string::npos) << command;
        const Result sub = Run({command, "--help"});
        EXPECT_EQ(sub.code, 0) << command << sub.err;
        EXPECT_NE(sub.out.find(std::string("Usage: qlspool ")), std::string::npos) << command;
        EXPECT_NE(sub.out.find(command), std::string::npos) << command;
        EXPECT_TRUE(sub.err.empty()) << sub.err;
    }
}

TEST_F(Qlspool, DemoRunsTheSampleJobsThroughTheEntryPointsOnTheBuiltInMachine) {
    const Result r = Run({"--verbose"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.find("PrintDocumentOnPrintProcessor -> FALSE"), std::string::npos) << r.out;
    ExpectHas(r.out, {
        "OpenPrintProcessor            -> handle", "PrintDocumentOnPrintProcessor -> ",
        "ClosePrintProcessor           -> TRUE", "RAW Job detected, call PrintRawJob", "QLSB detected, call PrintQLEMFJob",
        // The main job: a toolkit-made gateway job, printed, its port output
        // listed by the inspector.
        "\"qlspool gateway sample\" on \"QL Spool Bridge (compressed)\", datatype \"NT EMF 1.008\"",
        "port \"QLPORT3:\", datatype \"RAW\"", "transport stream, as the inspector reads it:",
        ", form full: \"QL Spool Bridge (compressed)\"", "    port monitor: 4 page(s), copy count 1, statistics ",
        // Two fonts embedded in front of page 4; the font report's four outcomes.
        "records: 18, pages: 4,", "font <Arial,190,0>: not embedded (substituted or unreadable), 0 bytes; asked for again 2",
        "font <DejaVu Sans,190,0>: embedded", "font <DejaVu Sans,1f4,0>: already sent under another",
        "FreeType: DejaVu Sans Book",
        // The A4 photograph of page 4 goes as JPEG 2000, with its PSNR; the
        // logo of pages 2 and 3 travels as references to page 1's.
        "page 4 image 19: 2480x3508 24 bpp, compressed to ", "cached references: 4, resolved: 4",
        "port queries: 6 as NT AUTHORITY\\SYSTEM", "7 job(s): 7 printed, 0 failed",
        // The PDF Bridge job carries its ticket, which is consumed; every
        // gateway stream carries the machine's watermark page.
        "ticket bytes): \"<?xml version=\\\"1.0\\\"", "JDF ticket C:\\QLWinPrn\\jdf\\DEMO1.tmp: consumed",
        "watermark at ", "Events written: none",
        // The text and EMF samples reach "Office Laser" as PDF documents; the
        // native job prints on both printers and leaves the spooler.
        "PDF document \"qlspool text sample\": ", "PDF document \"qlspool EMF sample\": ",
        "document \"qlspool native sample\" on \"Office Copier\", port \"FILE2:\"",
        ": cancelled, the view library took it over",
        // The packed sample job is decoded while it prints.
        "\"qlspool packed sample page\" on \"Office Laser\", datatype \"RAW\"",
        "pNPDecompress allocated, compressed Printjob found", "Handles left open by the job: none"});
    // The default drive root is made in the current directory and holds the
    // log, which the library's attach begins.
    EXPECT_TRUE(fs::is_directory(m_dir / "qlspool-machine/ports"));
    ExpectHas(ReadText(m_dir / "qlspool-machine/qlwinprn.log"), {"LoadLibrary", "Entrypoint IncrementPageCount"});
}

// A removed watermark: the gateway jobs go on without it, and each copy's
// event stays in the machine's log for `qlspool events` across runs.
TEST_F(Qlspool, MissingWatermarkReachesTheEventLog) {
    // The short report: the summary table after each job's highlights, no entry points or debug log.
    const Result first = Run({"demo"});
    ASSERT_EQ(first.code, 0) << first.err;
    ExpectHas(first.out, {"Job  Printer ", "  4  QL Spool Bridge (compressed)  NT EMF 1.008      4  26",
                          "fonts: 4 in the job's font list", "7 job(s): 7 printed, 0 failed (--verbose"});
    for (const char* text : {"Entry points:", "Debug log"}) EXPECT_EQ(first.out.find(text), std::string::npos) << text;
    EXPECT_EQ(Run({"events"}).out, "");
    fs::remove(m_dir / "qlspool-machine/QLWinPrn/watermark.spl");
    ExpectHas(Run({"demo", "--quiet", "--verbose"}).out,
              {"7 job(s): 7 printed, 0 failed", "RegisterEventSourceW \"Quillon\" as NT AUTHORITY\\SYSTEM"});
    ExpectHas(Run({"events"}).out,
              {"#2 ", "error, source \"Quillon\", id 1, category 0: QLWinPrn: Configured watermark not found."});
    const Result json = Run({"events", "--json", "--since", "1"});
    EXPECT_EQ(json.out.find("\"number\": 1,"), std::string::npos) << json.out;
    ExpectHas(json.out, {"\"number\": 2, ", "\"strings\": [\"QLWinPrn: Configured watermark not found.\"]"});
}

TEST_F(Qlspool, BadInputExitsWithOneLineNamingTheProblem) {
    const std::string job = JobFile(), out = m_dir / "out.emz", reg = m_dir / "bad.reg";
    WriteText(m_dir / "short.dm", std::string(40, 'x'));
    WriteText(reg, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n\"a\"=dword:1\n");
    struct Case {
        std::vector<std::string> args;
        const char* text;
    };
    const Case cases[] = {
        {{"print", "--machine", reg, job}, "bad.reg:3"},
        {{"printers", "--machine", reg}, "bad.reg:3"},
        {{"machine", "--machine", reg}, "bad.reg:3"},
        {{"print", m_dir / "missing.txt"}, "missing.txt"},
        {{"printers", "--machine", m_dir / "missing.reg"}, "missing.reg"},
        {{"print", "--devmode", m_dir / "missing.dm", job}, "missing.dm"},
        {{"print", "--devmode", m_dir / "short.dm", job}, "too short"},
        {{"print", "--printer", "Nowhere", "--drive-root", m_dir / "c", job}, "unknown printer \"Nowhere\""},
        {{"print", "--bogus", job}, "unknown option --bogus"},
        {{"print", "--copies", "two", job}, "--copies"},
        {{"print", "--printer"}, "needs a value"},
        {{"print"}, "FILE"},
        {{"frobnicate"}, "unknown command"},
        {{"pack", job}, "IN and OUT"},
        {{"pack", m_dir / "missing.prn", out}, "missing.prn"},
        {{"pack", "--block-size", "0", job, out}, "--block-size"},
        {{"pack", "--block-size", "4294967296", job, out}, "--block-size"},
        {{"pack", "--level", "10", job, out}, "--level"},
        {{"pack", "--level", "-2", job, out}, "--level"},
        {{"pack", "--header-value", "x", job, out}, "--header-value"},
        {{"print", "--fault", "WritePrinter", job}, "CALL:AT"},
        {{"print", "--fault", "FlyPrinter:10", job}, "unknown call \"FlyPrinter\""},
        {{"print", "--fault", "WritePrinter:ten", job}, "byte position"},
        {{"print", "--fault", "OpenPrinterW:1:short", job}, "\"short\" applies"},
        {{"print", "--fault", "WritePrinter:1:0", job}, "non-zero"},
        {{"print", "--fault", "WritePrinter:1:sometimes", job}, "EFFECT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " ... " + c.text);
        ExpectBadInput(Run(c.args), c.text);
    }
    EXPECT_FALSE(fs::exists(out));
    const Result unwritable = Run({"pack", job, m_dir / "no-such-dir/out.emz"});
    EXPECT_EQ(unwritable.code, 1) << unwritable.err;
    EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos) << unwritable.err;

    const Result datatype = Print({"--datatype", "BOGUS", JobFile()});
    ExpectBadInput(datatype, "unknown datatype \"BOGUS\": OpenPrintProcessor failed with error 1804");
    EXPECT_NE(datatype.out.find("OpenPrintProcessor            -> NULL, last error 1804"), std::string::npos);
}

// The listing commands: the exported machine reloads to the same printers
// (neither needs a drive root); the datatypes and capabilities are the
// library's answers.
TEST_F(Qlspool, ListingCommands) {
    const Result exported = Run({"machine"});
    ASSERT_EQ(exported.code, 0) << exported.err;
    EXPECT_EQ(exported.out.rfind("Windows Registry Editor Version 5.00", 0), 0u);
    WriteText(m_dir / "machine.reg", exported.out);
    const Result builtIn = Run({"printers"});
    ASSERT_EQ(builtIn.code, 0) << builtIn.err;
    EXPECT_EQ(builtIn.out, Run({"printers", "--machine", m_dir / "machine.reg"}).out);
    ExpectHas(builtIn.out, {"\"QL Spool Bridge\": driver \"QL Spool Bridge\", port \"QLPORT1:\""});
    EXPECT_FALSE(fs::exists(m_dir / "qlspool-machine"));

    const Result types = Run({"datatypes", "--drive-root", m_dir / "c"});
    EXPECT_EQ(types.code, 0) << types.err;
    EXPECT_EQ(types.out.rfind("RAW\n", 0), 0u) << types.out;
    ExpectHas(types.out, {"NT EMF 1.008\n"});
    const Result one = Run({"caps", "-d", "TEXT", "--drive-root", m_dir / "c"});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(one.out.rfind("\"TEXT\": level 2", 0), 0u) << one.out;
    EXPECT_EQ(LineCount(one.out), 1u) << one.out;
    // Without a datatype: one line per datatype.
    EXPECT_EQ(LineCount(Run({"caps", "--drive-root", m_dir / "c"}).out), LineCount(types.out));
}

TEST_F(Qlspool, PrintWithControlOptionsShowsPauseResumeAndCancel) {
    // Without --quiet the report begins with the machine.
    const Result r = Run({"print", "--verbose", "--pause-after", "0", "--resume-after", "15", "--cancel-after", "30",
                          "--copies", "2", "--drive-root", m_dir / "c", JobFile()});
    EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code << r.err;
    ExpectHas(r.out, {"Machine: drive C: = ", "ControlPrintProcessor(PAUSE) at ", "job status 0x8 (paused)", "ControlPrintProcessor(RESUME)",
                      "job status 0x1 (cancelled)", "parameters \"COPIES=2;\"", "\"job.txt\" on \"Office Laser\""});
}

TEST_F(Qlspool, PackedFilePrintsAsTheOriginalBytes) {
    std::string original;
    for (int i = 0; i < 3000; ++i) original += "line " + std::to_string(i) + " of the packed job\r\n";
    original += std::string("\0\x1b\xff", 3);
    const std::string in = m_dir / "in.prn", out = m_dir / "in.emz";
    WriteText(in, original);
    const Result pack = Run({"pack", "--block-size", "0x400", "--stream-size", "10000", "--level", "9",
                             "--header-value", "7", "--empty-block", in, out});
    ASSERT_EQ(pack.code, 0) << pack.err;
    EXPECT_TRUE(pack.err.empty()) << pack.err;
    ExpectHas(pack.out, {"bytes) into "});
    const std::string packed = ReadText(out);
    ASSERT_GT(packed.size(), 13u);
    EXPECT_EQ(packed.substr(0, 13), std::string("%%EMZ\x07\0\0\0\0\x04\0\0", 13));  // header value, block of 0x400
    EXPECT_EQ(packed.substr(packed.size() - 13, 5), "%%EMZ");  // the empty block
    EXPECT_EQ(packed.substr(packed.size() - 4), std::string(4, '\0'));

    const Result print = Print({out});
    ASSERT_EQ(print.code, 0) << print.err << print.out;
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), original);
    EXPECT_EQ(print.out.find("Debug log"), std::string::npos) << "--quiet leaves out the debug log";
    ExpectHas(print.out, {": " + std::to_string(original.size()) + " bytes\n", "    port file " + (m_dir / "c/ports/FILE1_")});
}

TEST_F(Qlspool, FaultOptionMakesWritePrinterFailAtTheByte) {
    const std::string job = m_dir / "big.prn";
    WriteText(job, std::string(9000, 'x'));
    const Result r = Print({"--fault", "WritePrinter:3000:ERROR_DISK_FULL", "--fault", "ReadPrinter:1000000", job});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    ExpectHas(r.out, {"Faults armed:\n  WritePrinter at byte 3000: fails with 112 (ERROR_DISK_FULL), every call from",
                      ": 3000 bytes\n"});
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), std::string(3000, 'x'));

    // A short count is made up for; an armed fault that never fires is listed all the same.
    const Result shortCount = Print({"--fault", "WritePrinter:3000:short", "--fault", "OpenPrinterW:50:5", job});
    EXPECT_EQ(shortCount.code, 0) << shortCount.err;
    ExpectHas(shortCount.out, {"WritePrinter at byte 3000: takes fewer bytes than offered, once",
                               "OpenPrinterW after 50 call(s): fails with 5 (ERROR_ACCESS_DENIED)"});
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), std::string(9000, 'x'));

    const Result open = Print({"--fault", "StartDocPrinterW:0:5", job});
    EXPECT_EQ(open.code, 1) << open.err << open.out;
    ExpectHas(open.out, {"StartDocPrinterW: fails with 5 (ERROR_ACCESS_DENIED)"});
}

TEST_F(Qlspool, SpoolPrintInspectRoundTrip) {
    const std::string spl = m_dir / "job.spl", port = m_dir / "c/ports/QLPORT2_";
    const Result spool = Run({"spool", "--pages", "2", "--bpp", "1,8,24", "--devmode", "--qlex", spl});
    ASSERT_EQ(spool.code, 0) << spool.err;
    EXPECT_EQ(spool.out.rfind("qlspool spool: wrote ", 0), 0u) << spool.out;
    // No --datatype: a spool file prints as "NT EMF 1.008".
    const Result print = Print({"--printer", "QL Spool Bridge (cached)", spl});
    ASSERT_EQ(print.code, 0) << print.err << print.out;
    ExpectHas(print.out, {"datatype \"NT EMF 1.008\"", "transport stream, as the inspector reads it:",
                          "      framing from "});
    const Result json = Run({"inspect", "--json", port});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"ok\":true,", 0), 0u) << json.out.substr(0, 200);
    ExpectHas(json.out, {"\"framed\":true", "\"pages\":2,", "\"form\":\"public\""});

    // Printed as it stands, a cut stream reaches the port but is not counted
    // as printed.
    const std::string whole = ReadText(port);
    WriteText(m_dir / "cut.bin", whole.substr(0, whole.size() - 3));
    const Result cut = Print({"--printer", "Office Laser", "--datatype", "RAW", m_dir / "cut.bin"});
    EXPECT_EQ(cut.code, 1) << cut.out;
    ExpectHas(cut.err, {"printed, but the transport stream on "});
    ExpectHas(cut.out, {"0 printed, 1 failed"});
    // The toolkit's messages go out under qlspool's name.
    const Result bad = Run({"spool", "--bpp", "3", spl});
    EXPECT_EQ(bad.code, 2);
    ExpectHas(bad.err, {"qlspool spool: --bpp", "(see qlspool spool --help)"});
}

} // namespace
