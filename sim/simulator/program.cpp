#include "sim/simulator/program.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace qn38::sim {
namespace {

constexpr const char* USAGE =
    "usage: qn38sim [--lang en|ja] [--scenario FILE] [--interactive] [--workdir DIR] [--keep-log] [--verbose]\n"
    "\n"
    "Runs the QN38 hot-plug system on a simulated PC: the service, the tray tool with its poller,\n"
    "and the real QN38.LOG in the working folder. Without --scenario it plays the default scenario;\n"
    "with --interactive it reads the same commands at a prompt (after the scenario, when one is given).\n"
    "\n"
    "  --lang en|ja      the tool's texts in English (default) or Japanese\n"
    "  --scenario FILE   play FILE instead of the default scenario\n"
    "  --interactive     type commands at a prompt; 'help' lists them\n"
    "  --workdir DIR     where QN38.LOG is written (default: %s)\n"
    "  --keep-log        go on with the QN38.LOG an earlier run left in DIR, instead of a new one\n"
    "  --verbose         also show the poller's routine link requests and the window's hide calls\n"
    "\n"
    "Exit status: 0 every step behaved as expected, 1 some did not, 2 bad options or scenario.\n";

std::string Usage(const std::filesystem::path& defaultWorkdir) {
    std::string usage = USAGE;
    usage.replace(usage.find("%s"), 2, defaultWorkdir.string());
    return usage;
}

std::optional<std::string> ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

void Interact(Simulator& simulator, std::istream& in, std::ostream& out) {
    out << "Type commands ('help' lists them, 'quit' or end of input ends the run).\n";
    int line = 0;
    std::string text;
    while (true) {
        out << "qn38> " << std::flush;
        if (!std::getline(in, text)) {
            out << "\n";
            return;
        }
        const ParsedLine parsed = ParseScenarioLine(text, ++line);
        if (parsed.error) {
            out << "  line " << parsed.error->line << ": " << parsed.error->message << "\n";
            continue;
        }
        if (parsed.command && !simulator.Execute(*parsed.command)) return;
    }
}

}  // namespace

std::filesystem::path DefaultScenarioPath() {
    // The scenario stays with the sources, beside this file's folder.
    return std::filesystem::path(__FILE__).parent_path().parent_path() / "scenarios" / "default.qn38";
}

OptionsResult ParseOptions(const std::vector<std::string>& arguments, const std::filesystem::path& defaultWorkdir) {
    ProgramOptions options;
    options.simulator.workdir = defaultWorkdir;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--lang") {
            const auto language = value();
            if (!language || (*language != "en" && *language != "ja")) {
                return {std::nullopt, "--lang takes en or ja"};
            }
            options.simulator.language = *language == "ja" ? RC_LANGUAGE_JAPANESE : RC_LANGUAGE_ENGLISH;
        } else if (argument == "--scenario") {
            const auto file = value();
            if (!file || file->empty()) return {std::nullopt, "--scenario takes a file"};
            options.scenario = *file;
        } else if (argument == "--workdir") {
            const auto folder = value();
            if (!folder || folder->empty()) return {std::nullopt, "--workdir takes a folder"};
            options.simulator.workdir = *folder;
        } else if (argument == "--interactive") {
            options.interactive = true;
        } else if (argument == "--keep-log") {
            options.simulator.keepLog = true;
        } else if (argument == "--verbose") {
            options.simulator.verbose = true;
        } else {
            return {std::nullopt, "unknown option \"" + argument + "\""};
        }
    }
    return {options, ""};
}

int RunProgram(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out, std::ostream& err,
               const std::filesystem::path& defaultWorkdir) {
    const OptionsResult parsed = ParseOptions(arguments, defaultWorkdir);
    if (!parsed.options) {
        err << "qn38sim: " << parsed.error << "\n" << Usage(defaultWorkdir);
        return 2;
    }
    const ProgramOptions& options = *parsed.options;
    if (options.help) {
        out << Usage(defaultWorkdir) << "\nScenario commands:\n" << ScenarioHelp();
        return 0;
    }

    // The default scenario is played unless a file is given or only the prompt is wanted.
    std::optional<std::filesystem::path> scenarioPath = options.scenario;
    if (!scenarioPath && !options.interactive) scenarioPath = DefaultScenarioPath();
    ParsedScenario scenario;
    if (scenarioPath) {
        const auto text = ReadFile(*scenarioPath);
        if (!text) {
            err << "qn38sim: " << scenarioPath->string() << ": cannot be read\n";
            return 2;
        }
        scenario = ParseScenario(*text);
        for (const auto& error : scenario.errors) {
            err << scenarioPath->string() << ":" << error.line << ": " << error.message << "\n";
        }
        if (!scenario.errors.empty()) return 2;
    }

    try {
        Simulator simulator(options.simulator, out);
        if (scenarioPath) out << "Playing " << scenarioPath->string() << "\n";
        if (simulator.Play(scenario.commands) && options.interactive) Interact(simulator, in, out);
        return simulator.Finish();
    } catch (const std::runtime_error& error) {
        err << "qn38sim: " << error.what() << "\n";
        return 2;
    }
}

}  // namespace qn38::sim
