// qlspool as a user runs it: a subprocess from the bin directory.
#include "tests/host/TestDirs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

using qlhost::test::ScratchDir;

namespace {

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
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
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
    EXPECT_NE(r.out.find("OpenPrintProcessor            -> handle"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PrintDocumentOnPrintProcessor -> "), std::string::npos);
    EXPECT_NE(r.out.find("ClosePrintProcessor           -> TRUE"), std::string::npos);
    EXPECT_NE(r.out.find("RAW Job detected, call PrintRawJob"), std::string::npos);
    EXPECT_NE(r.out.find("QLSB detected, call PrintQLEMFJob"), std::string::npos);
    // The main job: a toolkit-made gateway job, printed, its port output
    // listed by the inspector.
    EXPECT_NE(r.out.find("\"qlspool gateway sample\" on \"QL Spool Bridge (compressed)\", datatype \"NT EMF 1.008\""),
              std::string::npos);
    EXPECT_NE(r.out.find("port \"QLPORT3:\", datatype \"RAW\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("transport stream, as the inspector reads it:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", form full: \"QL Spool Bridge (compressed)\""), std::string::npos) << r.out;
    // Two fonts embedded in front of page 4; the font report's four outcomes.
    EXPECT_NE(r.out.find("records: 18, pages: 4,"), std::string::npos) << r.out;
    for (const char* row : {"font <Arial,190,0>: not embedded (substituted or unreadable), 0 bytes; asked for again 2",
                            "font <DejaVu Sans,190,0>: embedded", "font <DejaVu Sans,1f4,0>: already sent under another",
                            "FreeType: DejaVu Sans Book"})
        EXPECT_NE(r.out.find(row), std::string::npos) << row;
    // The A4 photograph of page 4 goes as JPEG 2000, with its PSNR.
    EXPECT_NE(r.out.find("page 4 image 19: 2480x3508 24 bpp, compressed to "), std::string::npos) << r.out;
    // The logo of pages 2 and 3 travels as references to page 1's.
    EXPECT_NE(r.out.find("cached references: 4, resolved: 4"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("port queries: 6 as NT AUTHORITY\\SYSTEM"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("PrintDocumentOnPrintProcessor -> FALSE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("7 job(s): 7 printed, 0 failed"), std::string::npos) << r.out;
    // The PDF Bridge job carries its ticket, which is consumed; every gateway
    // stream carries the machine's watermark page.
    EXPECT_NE(r.out.find("ticket bytes): \"<?xml version=\\\"1.0\\\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("JDF ticket C:\\QLWinPrn\\jdf\\DEMO1.tmp: consumed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("watermark at "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Events written: none"), std::string::npos) << r.out;
    // The text and EMF samples reach "Office Laser" as PDF documents.
    EXPECT_NE(r.out.find("PDF document \"qlspool text sample\": "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("PDF document \"qlspool EMF sample\": "), std::string::npos) << r.out;
    // The native job prints on both printers and leaves the spooler.
    EXPECT_NE(r.out.find("document \"qlspool native sample\" on \"Office Copier\", port \"FILE2:\""), std::string::npos);
    EXPECT_NE(r.out.find(": cancelled, the view library took it over"), std::string::npos) << r.out;
    // The packed sample job is decoded while it prints.
    EXPECT_NE(r.out.find("\"qlspool packed sample page\" on \"Office Laser\", datatype \"RAW\""), std::string::npos);
    EXPECT_NE(r.out.find("pNPDecompress allocated, compressed Printjob found"), std::string::npos);
    EXPECT_NE(r.out.find("Handles left open by the job: none"), std::string::npos);
    // The default drive root is made in the current directory and holds the log.
    EXPECT_TRUE(std::filesystem::exists(m_dir / "qlspool-machine/qlwinprn.log"));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "qlspool-machine/ports"));
}

// A removed watermark: the gateway jobs go on without it, and each copy's
// event stays in the machine's log for `qlspool events` across runs.
TEST_F(Qlspool, MissingWatermarkReachesTheEventLog) {
    // The short report: the summary table after each job's highlights, no entry points or debug log.
    const Result first = Run({"demo"});
    ASSERT_EQ(first.code, 0) << first.err;
    for (const char* text : {"Job  Printer ", "  4  QL Spool Bridge (compressed)  NT EMF 1.008      4  26",
                             "fonts: 4 in the job's font list", "7 job(s): 7 printed, 0 failed (--verbose"})
        EXPECT_NE(first.out.find(text), std::string::npos) << text << "\n" << first.out;
    for (const char* text : {"Entry points:", "Debug log"}) EXPECT_EQ(first.out.find(text), std::string::npos) << text;
    EXPECT_EQ(Run({"events"}).out, "");
    std::filesystem::remove(m_dir / "qlspool-machine/QLWinPrn/watermark.spl");
    const Result demo = Run({"demo", "--quiet", "--verbose"});
    EXPECT_NE(demo.out.find("7 job(s): 7 printed, 0 failed"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("RegisterEventSourceW \"Quillon\" as NT AUTHORITY\\SYSTEM"), std::string::npos);
    const Result events = Run({"events"});
    EXPECT_NE(events.out.find("#2 "), std::string::npos) << events.out;
    EXPECT_NE(events.out.find("error, source \"Quillon\", id 1, category 0: QLWinPrn: Configured watermark not found."),
              std::string::npos) << events.out;
    const Result json = Run({"events", "--json", "--since", "1"});
    EXPECT_EQ(json.out.find("\"number\": 1,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"number\": 2, "), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"strings\": [\"QLWinPrn: Configured watermark not found.\"]"), std::string::npos);
}

TEST_F(Qlspool, BadRegFileNamesFileAndLine) {
    const std::string reg = m_dir / "bad.reg";
    WriteText(reg, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X\n\"a\"=dword:1\n");
    for (const char* command : {"print", "printers", "machine"}) {
        std::vector<std::string> args = {command, "--machine", reg};
        if (std::string(command) == "print") args.push_back(JobFile());
        const Result r = Run(args);
        ExpectBadInput(r, "bad.reg:3");
    }
}

TEST_F(Qlspool, BadInputExitsWithOneLineNamingTheProblem) {
    const std::string job = JobFile(), out = m_dir / "out.emz";
    WriteText(m_dir / "short.dm", std::string(40, 'x'));
    struct Case {
        std::vector<std::string> args;
        const char* text;
    };
    const Case cases[] = {
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
    EXPECT_FALSE(std::filesystem::exists(out));
    const Result unwritable = Run({"pack", job, m_dir / "no-such-dir/out.emz"});
    EXPECT_EQ(unwritable.code, 1) << unwritable.err;
    EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos) << unwritable.err;
}

TEST_F(Qlspool, UnknownDatatypeIsReportedWithTheLibrarysError) {
    const Result r = Run({"print", "--datatype", "BOGUS", "--quiet", "--verbose", "--drive-root", m_dir / "c", JobFile()});
    ExpectBadInput(r, "unknown datatype \"BOGUS\"");
    EXPECT_NE(r.err.find("1804"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("OpenPrintProcessor            -> NULL, last error 1804"), std::string::npos) << r.out;
}

TEST_F(Qlspool, ExportedMachineReloadsToTheSamePrinters) {
    const Result exported = Run({"machine"});
    ASSERT_EQ(exported.code, 0) << exported.err;
    EXPECT_EQ(exported.out.rfind("Windows Registry Editor Version 5.00", 0), 0u);
    const std::string reg = m_dir / "machine.reg";
    WriteText(reg, exported.out);

    const Result builtIn = Run({"printers"});
    const Result reloaded = Run({"printers", "--machine", reg});
    ASSERT_EQ(builtIn.code, 0) << builtIn.err;
    ASSERT_EQ(reloaded.code, 0) << reloaded.err;
    EXPECT_EQ(builtIn.out, reloaded.out);
    EXPECT_NE(builtIn.out.find("\"QL Spool Bridge\": driver \"QL Spool Bridge\", port \"QLPORT1:\""),
              std::string::npos)
        << builtIn.out;
    // Neither command needs a drive root.
    EXPECT_FALSE(std::filesystem::exists(m_dir / "qlspool-machine"));
}

TEST_F(Qlspool, PrintWithControlOptionsShowsPauseResumeAndCancel) {
    const Result r = Run({"print", "--verbose", "--pause-after", "0", "--resume-after", "15", "--cancel-after", "30",
                          "--copies", "2", "--drive-root", m_dir / "c", JobFile()});
    EXPECT_TRUE(r.code == 0 || r.code == 1) << r.code << r.err;
    EXPECT_NE(r.out.find("ControlPrintProcessor(PAUSE) at "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("job status 0x8 (paused)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ControlPrintProcessor(RESUME)"), std::string::npos);
    EXPECT_NE(r.out.find("job status 0x1 (cancelled)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("parameters \"COPIES=2;\""), std::string::npos);
    EXPECT_NE(r.out.find("\"job.txt\" on \"Office Laser\""), std::string::npos) << r.out;
}

TEST_F(Qlspool, DatatypesAndCapsListTheLibrarysAnswers) {
    const Result types = Run({"datatypes", "--drive-root", m_dir / "c"});
    EXPECT_EQ(types.code, 0) << types.err;
    EXPECT_EQ(types.out.rfind("RAW\n", 0), 0u) << types.out;
    EXPECT_NE(types.out.find("NT EMF 1.008\n"), std::string::npos);
    EXPECT_EQ(LineCount(types.out), 9u);

    const Result one = Run({"caps", "-d", "TEXT", "--drive-root", m_dir / "c"});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_EQ(LineCount(one.out), 1u) << one.out;
    EXPECT_NE(one.out.find("\"TEXT\": level 2"), std::string::npos) << one.out;

    const Result all = Run({"caps", "--drive-root", m_dir / "c"});
    EXPECT_EQ(all.code, 0) << all.err;
    EXPECT_EQ(LineCount(all.out), 9u) << all.out;
}

TEST_F(Qlspool, PackedFilePrintsAsTheOriginalBytes) {
    std::string original;
    for (int i = 0; i < 3000; ++i) original += "line " + std::to_string(i) + " of the packed job\r\n";
    original += std::string("\0\x1b\xff", 3);
    const std::string in = m_dir / "in.prn";
    const std::string out = m_dir / "in.emz";
    WriteText(in, original);

    const Result pack = Run({"pack", "--block-size", "0x400", "--stream-size", "10000", "--level", "9",
                             "--header-value", "7", "--empty-block", in, out});
    ASSERT_EQ(pack.code, 0) << pack.err;
    EXPECT_TRUE(pack.err.empty()) << pack.err;
    EXPECT_NE(pack.out.find("bytes) into "), std::string::npos) << pack.out;
    const std::string packed = ReadText(out);
    ASSERT_GT(packed.size(), 13u);
    EXPECT_EQ(packed.substr(0, 5), "%%EMZ");
    EXPECT_EQ(packed.substr(5, 4), std::string("\x07\0\0\0", 4));  // header value
    EXPECT_EQ(packed.substr(9, 4), std::string("\0\x04\0\0", 4));  // payload length 0x400
    EXPECT_EQ(packed.substr(packed.size() - 13, 5), "%%EMZ");  // the empty block
    EXPECT_EQ(packed.substr(packed.size() - 4), std::string(4, '\0'));

    const Result print = Run({"print", "--quiet", "--verbose", "--drive-root", m_dir / "c", out});
    ASSERT_EQ(print.code, 0) << print.err << print.out;
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), original);
    EXPECT_EQ(print.out.find("Debug log"), std::string::npos) << "--quiet leaves out the debug log";
    EXPECT_NE(print.out.find(": " + std::to_string(original.size()) + " bytes\n"), std::string::npos) << print.out;
    EXPECT_NE(print.out.find("    port file " + (m_dir / "c/ports/FILE1_")), std::string::npos) << print.out;
}

TEST_F(Qlspool, FaultOptionMakesWritePrinterFailAtTheByte) {
    const std::string job = m_dir / "big.prn";
    WriteText(job, std::string(9000, 'x'));
    const Result r = Run({"print", "--quiet", "--verbose", "--drive-root", m_dir / "c", "--fault", "WritePrinter:3000:ERROR_DISK_FULL",
                          "--fault", "ReadPrinter:1000000", job});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("Faults armed:\n  WritePrinter at byte 3000: fails with 112 (ERROR_DISK_FULL)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(": 3000 bytes\n"), std::string::npos) << r.out;
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), std::string(3000, 'x'));

    const Result shortCount = Run({"print", "--quiet", "--verbose", "--drive-root", m_dir / "c", "--fault", "WritePrinter:3000:short", job});
    EXPECT_EQ(shortCount.code, 0) << shortCount.err;
    EXPECT_EQ(ReadText(m_dir / "c/ports/FILE1_"), std::string(9000, 'x'));

    const Result open = Run({"print", "--quiet", "--verbose", "--drive-root", m_dir / "c", "--fault", "StartDocPrinterW:0:5", job});
    EXPECT_EQ(open.code, 1) << open.err << open.out;
    EXPECT_NE(open.out.find("StartDocPrinterW: fails with 5 (ERROR_ACCESS_DENIED)"), std::string::npos) << open.out;
}

TEST_F(Qlspool, SpoolPrintInspectRoundTrip) {
    const std::string spl = m_dir / "job.spl";
    const Result spool = Run({"spool", "--pages", "2", "--bpp", "1,8,24", "--devmode", "--qlex", spl});
    ASSERT_EQ(spool.code, 0) << spool.err;
    EXPECT_EQ(spool.out.rfind("qlspool spool: wrote ", 0), 0u) << spool.out;

    // No --datatype: a spool file prints as "NT EMF 1.008".
    const Result print =
        Run({"print", "--quiet", "--verbose", "--printer", "QL Spool Bridge (cached)", "--drive-root", m_dir / "c", spl});
    ASSERT_EQ(print.code, 0) << print.err << print.out;
    EXPECT_NE(print.out.find("datatype \"NT EMF 1.008\""), std::string::npos) << print.out;
    EXPECT_NE(print.out.find("transport stream, as the inspector reads it:"), std::string::npos) << print.out;
    EXPECT_NE(print.out.find("      framing from "), std::string::npos) << print.out;

    const Result json = Run({"inspect", "--json", m_dir / "c/ports/QLPORT2_"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_TRUE(json.err.empty()) << json.err;
    EXPECT_EQ(json.out.rfind("{\"ok\":true,", 0), 0u) << json.out.substr(0, 200);
    EXPECT_NE(json.out.find("\"framed\":true"), std::string::npos);
    EXPECT_NE(json.out.find("\"pages\":2,"), std::string::npos);
    EXPECT_NE(json.out.find("\"form\":\"public\""), std::string::npos);

    // The logical stream is written on request; a cut stream is rejected with
    // where and why, under qlspool's name.
    const Result logical = Run({"inspect", "--logical", m_dir / "logical.bin", m_dir / "c/ports/QLPORT2_"});
    EXPECT_EQ(logical.code, 0) << logical.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(m_dir / "logical.bin"));
    const std::string whole = ReadText(m_dir / "c/ports/QLPORT2_");
    WriteText(m_dir / "cut.bin", whole.substr(0, whole.size() - 3));
    const Result cut = Run({"inspect", m_dir / "cut.bin"});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.err.rfind("qlspool inspect: ", 0), 0u) << cut.err;
    EXPECT_NE(cut.err.find("offset "), std::string::npos) << cut.err;
    // Printed as it stands, the cut stream reaches the port but is not counted
    // as printed.
    const Result cutPrint = Run({"print", "--quiet", "--verbose", "--printer", "Office Laser", "--datatype", "RAW", "--drive-root",
                                 m_dir / "c", m_dir / "cut.bin"});
    EXPECT_EQ(cutPrint.code, 1) << cutPrint.out;
    EXPECT_NE(cutPrint.err.find("printed, but the transport stream on "), std::string::npos) << cutPrint.err;
    EXPECT_NE(cutPrint.out.find("0 printed, 1 failed"), std::string::npos) << cutPrint.out;

    const Result bad = Run({"spool", "--bpp", "3", spl});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("qlspool spool: --bpp"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("(see qlspool spool --help)"), std::string::npos) << bad.err;
}

} // namespace
