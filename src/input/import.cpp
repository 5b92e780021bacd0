static const char KORVA_SOURCE[] = "src/import";

#include "import.h"

#include <sys/stat.h>

#include "log.h"
#include "pex25d_reader.h"
#include "rcx_reader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

InputKind DetectInput(const std::string& head)
{
    if (LooksLikePex25d(head))
        return InputKind::PEX25D;
    if (LooksLikeRcxWires(head))
        return InputKind::RCX_WIRES;
    if (LooksLikeRcxProcess(head))
        return InputKind::RCX_PROCESS;
    return InputKind::DECK;
}

bool ReadWhole(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

namespace {

// Whether the text starts as a deck does, with "<vorn" after blanks and
// comments; anything else would only meet a syntax error on its first line.
bool OpensLikeDeck(const std::string& t)
{
    size_t i = 0;
    for (;;) {
        while (i < t.size() && isspace((unsigned char)t[i]))
            i++;
        if (t.compare(i, 2, "//") == 0)
            i = t.find('\n', i) == std::string::npos ? t.size() : t.find('\n', i);
        else if (t.compare(i, 2, "/*") == 0)
            i = t.find("*/", i + 2) == std::string::npos ? t.size() : t.find("*/", i + 2) + 2;
        else
            break;
    }
    // A comment that runs past the head leaves the rest to the parser.
    if (i >= t.size())
        return true;
    if (t[i] != '<')
        return false;
    size_t j = i + 1;
    while (j < t.size() && isspace((unsigned char)t[j]))
        j++;
    std::string word = t.substr(j, 4);
    for (char& c : word)
        c = (char)tolower((unsigned char)c);
    return j + 4 > t.size() || word == "vorn";
}

int Refuse(const std::string& path, const std::vector<std::string>& errors)
{
    for (const std::string& e : errors)
        Log::perror("%s: %s\n", path.c_str(), e.c_str());
    return 255;
}

}  // namespace

int ImportInput(const std::string& path, const ImportSettings& settings, ImportedInput& imported)
{
    imported = ImportedInput();
    std::string text;
    // Only a plain file is read ahead: a pipe or a device (a FIFO, /dev/zero)
    // goes to the deck parser as it is, which reads it once and in bounds.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (settings.per_length || settings.pattern_result || settings.rcx_result ||
            !settings.process_path.empty()) {
            Log::perror("%s is not a plain file: it cannot be a calibration pattern\n", path.c_str());
            return 255;
        }
        return 0;
    }
    // The head tells the kind; a deck, which may run to hundreds of
    // megabytes, is left whole to the deck parser, which reads it itself.
    {
        std::ifstream head(path, std::ios::binary);
        if (!head) {
            Log::perror("cannot open file: %s\n", path.c_str());
            return 255;
        }
        text.resize(65536);
        head.read(&text[0], (std::streamsize)text.size());
        text.resize((size_t)head.gcount());
    }
    imported.kind = DetectInput(text);
    if (imported.kind == InputKind::DECK && !OpensLikeDeck(text)) {
        Log::perror("%s is not an input Korva reads: a deck begins with <vorn>; PEX25D scenes and "
                    "calibration patterns (wires and process files) are recognised by their content\n",
                    path.c_str());
        return 255;
    }
    if (imported.kind != InputKind::DECK && !ReadWhole(path, text)) {
        Log::perror("cannot open file: %s\n", path.c_str());
        return 255;
    }
    std::vector<std::string> errors;
    Scene scene;
    std::vector<size_t> wires;
    std::istringstream in(imported.kind == InputKind::DECK ? std::string() : text);
    if (settings.options.domain_margin >= 0 && imported.kind != InputKind::PEX25D) {
        Log::perror("--domain-margin applies to PEX25D scenes only, and %s is not one\n", path.c_str());
        return 255;
    }
    const char* pattern_only = settings.per_length        ? "--per-length"
                               : settings.pattern_result  ? "--pattern-result"
                               : settings.rcx_result      ? "--rcx-result"
                               : !settings.process_path.empty() ? "--process"
                                                                 : nullptr;
    switch (imported.kind) {
    case InputKind::DECK:
        if (pattern_only) {
            Log::perror("%s applies to calibration patterns only, and %s is a deck\n", pattern_only, path.c_str());
            return 255;
        }
        return 0;
    case InputKind::RCX_PROCESS:
        Log::perror("%s is a process file: it gives the dielectric stack only. Run the pattern's wires file "
                    "with -f and give this file with --process.\n",
                    path.c_str());
        return 255;
    case InputKind::PEX25D:
        ReadPex25d(in, settings.options, scene, errors);
        break;
    case InputKind::RCX_WIRES: {
        RcxPattern pattern;
        ReadRcxWires(in, pattern, errors);
        RcxProcess stack;
        if (!settings.process_path.empty()) {
            std::string process;
            if (!ReadWhole(settings.process_path, process)) {
                Log::perror("cannot open file: %s\n", settings.process_path.c_str());
                return 255;
            }
            std::istringstream pin(process);
            std::vector<std::string> process_errors;
            ReadRcxProcess(pin, stack, process_errors);
            if (!process_errors.empty())
                return Refuse(settings.process_path, process_errors);
        }
        if (!errors.empty())
            return Refuse(path, errors);
        BuildPatternScene(pattern, settings.process_path.empty() ? nullptr : &stack, settings.options, scene,
                          errors);
        imported.pattern = true;
        imported.pattern_name = pattern.name;
        for (const RcxWire& w : pattern.wires)
            imported.wire_lengths.push_back(w.length);
        // The generator names the pattern by its folder, and a copy may keep
        // only the folder or only the record.
        if (settings.rcx_result) {
            std::string why_record, why_folder;
            imported.rcx_rows = ParseRcxPatternName(pattern.name, imported.rcx_name, why_record) ||
                                ParseRcxPatternName(path, imported.rcx_name, why_folder);
            if (!imported.rcx_rows) {
                Log::perror("%s: --rcx-result: neither the PATTERN record nor the file's path names the "
                            "pattern as its generator does: %s\n",
                            path.c_str(), why_folder.c_str());
                return 255;
            }
        }
        for (size_t i = pattern.planes.size(); i < scene.conductors.size(); ++i)
            wires.push_back(i);
        break;
    }
    }
    if (!errors.empty())
        return Refuse(path, errors);
    for (const std::string& w : scene.warnings)
        Log::pwarning("Warning: %s: %s\n", path.c_str(), w.c_str());
    imported.warnings = scene.warnings;
    if (pattern_only && !imported.pattern) {
        Log::perror("%s applies to calibration patterns only, and %s is not one\n", pattern_only, path.c_str());
        return 255;
    }
    AssignDeckNames(scene);
    for (const SceneConductor& c : scene.conductors)
        if (c.floating) {
            imported.floating.push_back(c.name);
            scene.notes.push_back("conductor " + c.name + " floats (charge-neutral); a run of the deck gives it "
                                  "with --floating " + c.name);
        }
    for (size_t i : wires)
        imported.wires.push_back(scene.conductors[i].name);
    if (settings.per_length) {
        std::string error;
        if (!CutForPerLength(scene, wires, imported.plan, error)) {
            Log::perror("%s: --per-length: %s\n", path.c_str(), error.c_str());
            return 255;
        }
        imported.per_length = true;
    }
    for (const SceneConductor& c : scene.conductors)
        if (!c.source.empty() || !c.pins.empty())
            imported.netlist[c.name] = NetPins{c.source.empty() ? c.name : c.source, c.pins};
    imported.notes = scene.notes;
    imported.deck_text = DeckText(scene, path);
    return 0;
}

int ReadSpefPins(const std::string& path, std::map<std::string, NetPins>& pins)
{
    std::string text;
    if (!ReadWhole(path, text)) {
        Log::perror("cannot open file: %s: %s\n", path.c_str(), strerror(errno));
        return 255;
    }
    std::istringstream in(text);
    int number = 0, status = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::istringstream words(line.substr(0, line.find('#')));
        std::string net, pin, extra;
        if (!(words >> net))
            continue;
        if (!(words >> pin) || (words >> extra) || pin.front() == ':' || pin.back() == ':') {
            Log::perror("%s: Line %d : expected a net and one pin (PORT or INSTANCE:PIN)\n", path.c_str(), number);
            status = 255;
            continue;
        }
        NetPins& p = pins[net];
        p.net = net;
        if (std::find(p.pins.begin(), p.pins.end(), pin) == p.pins.end())
            p.pins.push_back(pin);
    }
    return status;
}

std::string PatternResult(const ImportedInput& imported, const CapRow& raw, std::string& report)
{
    CapRow row = imported.per_length ? FoldPerLength(raw, imported.plan) : raw;
    report = imported.per_length ? "\n[Per-length row, F/um of the master's middle]:\n" : "";
    if (imported.per_length) {
        char buf[256];
        for (size_t i = 0; i < row.names.size(); ++i) {
            snprintf(buf, sizeof buf, "%20s: %10.3leF/um  +/-%10.2leF/um\n", row.names[i].c_str(),
                     std::fabs(row.value[i]), row.error[i]);
            report += buf;
        }
    }
    std::string result = PatternResultText(imported.pattern_name, row, imported.wires, imported.per_length);
    report += "\n[Pattern result]:\n" + result;
    return result;
}

bool RcxResult(const ImportedInput& imported, const CapRow& raw, std::string& text, std::string& why)
{
    CapRow row = imported.per_length ? FoldPerLength(raw, imported.plan) : raw;
    double scale = 1;
    if (imported.per_length)
        for (size_t i = 0; i < imported.wires.size(); ++i)
            if (imported.wires[i] == row.names[0])
                scale = imported.wire_lengths[i];
    return RcxTableRow(imported.rcx_name, row, imported.wires, scale, text, why);
}
