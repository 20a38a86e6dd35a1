#include "host/DefaultMachine.h"
#include "palhost.h"
#include "tools/lib/SpoolWriter.h"

#include <filesystem>
#include <fstream>

namespace qlhost {

namespace {

// Printers are kept where the spooler keeps them; the simulated spooler reads
// "Printer Driver", "Port", "Attributes" and "SpoolDirectory" from there and
// printer data from the "PrinterDriverData" subkey. Attributes 0x41 =
// PRINTER_ATTRIBUTE_QUEUED | PRINTER_ATTRIBUTE_LOCAL. The port types are what
// the product's port monitor answers to "GetPortType".
// DebugLevel 1: category NORM, no severity suppressed, file target only.
// Forms: paper codes 9 (A4), 1 (Letter), 8 (A3) and the 0 terminator.
// IncludeFonts: the fonts gateway jobs embed besides temporary ones, the
// patterns "DejaVu Sans*" and "Ar?al".
// GlobalConfigFile and Watermark name the files PrepareDefaultMachineFiles
// makes: the JDF spool directory's configuration and a one-page watermark.
// Gateway printers: "QL Spool Bridge" sends unframed streams; "QL Spool
// Bridge (cached)" has the bitmap cache on ("ImageRecall"), so its streams
// are framed; "QL Remote" has it on too, but its Print-To-Remote port turns it
// off again; "QL Held Printing" goes to a Held Printing port.
// "QL Spool Bridge (compressed)" has the cache on and two compression rules:
// a bitmap that deflates to no more than a tenth of its 24-bit size stays as
// it is (ZIP 10 %); others go as JPEG 2000 of a twentieth of that size
// (lossy 5 %) below 1,000,000 bytes, of a fiftieth (lossy 2 %) from there on.
// "QL Spool Bridge (native)" prints natively (AGNP) on "Office Laser", with a
// virtual copy on the second ordinary printer "Office Copier".
constexpr const char kDefaultMachine[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Quillon\QLWinPrn]
"DebugLevel"=dword:00000001
"DebugFile"="C:\\qlwinprn.log"
"Forms"=hex:09,00,01,00,08,00,00,00
"GlobalConfigFile"="C:\\QLWinPrn\\qlglobal.ini"
"Watermark"="C:\\QLWinPrn\\watermark.spl"
"IncludeFonts"=hex(7):44,00,65,00,6a,00,61,00,56,00,75,00,20,00,53,00,61,00,6e,00,73,00,2a,00,00,00,\
  41,00,72,00,3f,00,61,00,6c,00,00,00,00,00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Environments\Windows x64\Print Processors\QLWinPrn]
"Driver"="qlwinprn.dll"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Laser]
"Name"="Office Laser"
"Printer Driver"="Generic Laser Driver"
"Port"="FILE1:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Laser\PrinterDriverData]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Held Printing]
"Name"="QL Held Printing"
"Printer Driver"="QL Spool Bridge"
"Port"="QLHELD1:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Held Printing\PrinterDriverData]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL PDF Bridge]
"Name"="QL PDF Bridge"
"Printer Driver"="QL PDF Bridge"
"Port"="QLPDF1:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL PDF Bridge\PrinterDriverData]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge]
"Name"="QL Spool Bridge"
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT1:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge\PrinterDriverData]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (cached)]
"Name"="QL Spool Bridge (cached)"
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT2:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (cached)\PrinterDriverData]
"ImageRecall"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (compressed)]
"Name"="QL Spool Bridge (compressed)"
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT3:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (compressed)\PrinterDriverData]
"ImageRecall"=dword:00000001
"CompressionRule0"=dword:03e80a05
"CompressionRule1"=dword:00000a02

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Remote]
"Name"="QL Remote"
"Printer Driver"="QL Spool Bridge"
"Port"="QLREMOTE1:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Remote\PrinterDriverData]
"ImageRecall"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Local Port\Ports\FILE1:]
"PortType"="Local Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port]
"Driver"="quilmon.dll"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLHELD1:]
"PortType"="Quillon .relay Held Printing Server Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPDF1:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT1:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT2:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT3:]
"PortType"="Quillon Print Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLREMOTE1:]
"PortType"="Quillon Print Port for Tessel Workplace"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Copier]
"Name"="Office Copier"
"Printer Driver"="Generic Laser Driver"
"Port"="FILE2:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\Office Copier\PrinterDriverData]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (native)]
"Name"="QL Spool Bridge (native)"
"Printer Driver"="QL Spool Bridge"
"Port"="QLPORT4:"
"Attributes"=dword:00000041
"Priority"=dword:00000001
"SpoolDirectory"="C:\\Windows\\System32\\spool\\PRINTERS"
"Print Processor"="QLWinPrn"
"Datatype"="RAW"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Printers\QL Spool Bridge (native)\PrinterDriverData]
"AGNP"="Office Laser"
"AGNP1"="Office Copier"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Local Port\Ports\FILE2:]
"PortType"="Local Port"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Print\Monitors\Quillon Port\Ports\QLPORT4:]
"PortType"="Quillon Print Port"
)reg";

} // namespace

const std::string& DefaultMachineReg() {
    static const std::string text(kDefaultMachine);
    return text;
}

bool PrepareDefaultMachineFiles() {
    namespace fs = std::filesystem;
    const fs::path ini = pal::host::MapPath(kDefaultConfigFile);
    std::error_code ec;
    fs::create_directories(pal::host::MapPath(kDefaultJdfSpoolDir), ec);
    if (fs::exists(ini, ec)) return true;
    std::ofstream(ini, std::ios::binary) << "; Global configuration of the Quillon components\r\n"
                                            "[print]\r\n"
                                            "spooldir=C:\\QLWinPrn\\jdf\r\n";
    qltools::SpoolJobOptions watermark;
    watermark.pages = 1;
    watermark.images = {qltools::ImageKind::Logo};
    watermark.bitsPerPixel = {8};
    watermark.documentName = u"qlspool watermark";
    const std::vector<uint8_t> bytes = qltools::GenerateSpoolJob(watermark);
    std::ofstream out(pal::host::MapPath(kDefaultWatermarkFile), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

} // namespace qlhost
