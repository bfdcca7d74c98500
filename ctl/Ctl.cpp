#include "ctl/Ctl.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <set>

#include "core/Handlers.h"
#include "desktop/ServerListModel.h"
#include "desktop/SettingsModel.h"
#include "engine/CReg.h"

namespace ctl {

namespace {

constexpr const char* kStatusNames[] = {"LastDelta", "LastContact", "TimeSource", "Drift"};

const char* const kUsageText =
    "Usage: kronelctl [--user] [--verbose] COMMAND [ARGUMENTS]\n"
    "\n"
    "Shows and changes Kronel's settings and server list. The service's store is used unless\n"
    "--user names the desktop program's.\n"
    "\n"
    "Commands:\n"
    "  status [--json]                  the status values and each server's last result\n"
    "  servers list                     the servers in polling order\n"
    "  servers add|edit|delete|delete-all|restore-defaults|export|import\n"
    "  get NAME                         a setting of the parameters key\n"
    "  set NAME VALUE                   change a setting of the parameters key\n"
    "\n"
    "'kronelctl COMMAND --help' describes a command.\n";

const std::map<std::string, std::string> kHelp = {
    {"status",
     "Usage: kronelctl status [--json]\n"
     "Prints LastDelta, LastContact, TimeSource and Drift, then each server with the time of\n"
     "its last result. --json prints one JSON object for scripts and monitoring.\n"},
    {"servers",
     "Usage: kronelctl servers list|add|edit|delete|delete-all|restore-defaults|export|import\n"
     "'kronelctl servers SUBCOMMAND --help' describes each.\n"},
    {"servers list",
     "Usage: kronelctl servers list\n"
     "One line per server in polling order: name, address, protocol, useproxy, rejectntp and\n"
     "its last result, separated by tabs.\n"},
    {"servers add",
     "Usage: kronelctl servers add --addr ADDRESS [--name NAME] [--protocol N] [--useproxy 0|1]\n"
     "                              [--rejectntp 0|1]\n"
     "Adds a server at the end of the list; without a name it is stored under its address.\n"},
    {"servers edit",
     "Usage: kronelctl servers edit NAME [--name NEW] [--addr ADDRESS] [--protocol N]\n"
     "                               [--useproxy 0|1] [--rejectntp 0|1]\n"
     "Changes a server; a new name replaces the old entry in its place.\n"},
    {"servers delete", "Usage: kronelctl servers delete NAME\nDeletes one server.\n"},
    {"servers delete-all",
     "Usage: kronelctl servers delete-all [--yes|--no]\n"
     "Deletes every server after asking; --yes or --no answers the question.\n"},
    {"servers restore-defaults",
     "Usage: kronelctl servers restore-defaults [--yes|--no]\n"
     "Asks to delete the current servers, then puts the three default SNTP servers at the top.\n"},
    {"servers export",
     "Usage: kronelctl servers export FILE\n"
     "Writes the list to FILE, one \"name|address|protocol|useproxy|rejectntp\" line each.\n"},
    {"servers import",
     "Usage: kronelctl servers import FILE [--yes|--no]\n"
     "Reads servers from FILE (as export writes it) to the top of the list, after asking\n"
     "whether to delete the current ones; --yes or --no answers. Lines without exactly five\n"
     "fields are skipped.\n"},
    {"get", "Usage: kronelctl get NAME\nPrints the setting's value, or its default.\n"},
    {"set", "Usage: kronelctl set NAME VALUE\nWrites the setting to the store.\n"},
};

struct UsageError {
    std::string text;
};
struct Failure {
    std::string text;
};

// Writes the model's Debug lines to the error stream when asked to.
class ConsoleMessages : public core::MessageHandler {
public:
    ConsoleMessages(std::ostream& err, const bool& verbose) : err_(err), verbose_(verbose) {}
    void message(core::MessageLevel level, const std::string& source,
                 const std::string& text) override {
        // Warnings say why a server or an import line was refused.
        if (verbose_ || level == core::MessageLevel::Error || level == core::MessageLevel::Warn) {
            err_ << (level == core::MessageLevel::Debug ? "Debug: " : "") << source << " " << text
                 << "\n";
        }
    }

private:
    std::ostream& err_;
    const bool& verbose_;  // set once the options are read
};

// The command line's answers to the model's questions.
class CommandLineUi : public desktop::ServerListUi {
public:
    CommandLineUi(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

    std::optional<bool> answer;
    std::optional<std::string> file;
    std::optional<desktop::ServerRecord> page;
    std::function<void(desktop::ServerRecord&)> changes;

    bool askYesNo(const std::string& text, const std::string& caption) override {
        if (answer) {
            return *answer;
        }
        out_ << caption << ": " << text << " [y/N] " << std::flush;
        std::string line;
        return std::getline(in_, line) && !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    }
    std::optional<std::string> chooseExportFile(const std::string&, const std::string&,
                                                const std::string&) override {
        return file;
    }
    std::optional<std::string> chooseImportFile(const std::string&, const std::string&,
                                                const std::string&) override {
        return file;
    }
    std::optional<desktop::ServerRecord> editServer(const desktop::ServerRecord& r) override {
        desktop::ServerRecord edited = r;
        changes(edited);
        return edited;
    }
    // The service reads its list when it starts; nothing runs here to query.
    void startQuery(const std::string&) override {}

private:
    std::istream& in_;
    std::ostream& out_;
};

int parseNumber(const std::string& option, const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) {
        throw UsageError{option + " takes a whole number, not '" + text + "'"};
    }
    return value;
}

std::string json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

class Command {
public:
    Command(std::vector<std::string> args, std::istream& in, std::ostream& out, std::ostream& err)
        : in_(in), out_(out), err_(err) {
        // Global options come before the command.
        size_t i = 0;
        for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
            if (args[i] == "--user") {
                user_ = true;
            } else if (args[i] == "--verbose") {
                verbose_ = true;
            } else if (args[i] == "--help") {
                help_ = true;
            } else {
                throw UsageError{"unknown option '" + args[i] + "'"};
            }
        }
        args_.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    }

    int run() {
        if (args_.empty()) {
            if (help_) {
                out_ << kUsageText;
                return kOk;
            }
            throw UsageError{"no command given"};
        }
        const std::string command = args_[0];
        std::string topic = command;
        if (command == "servers" && args_.size() > 1 && args_[1] != "--help") {
            topic += " " + args_[1];
        }
        if (!kHelp.count(topic)) {
            throw UsageError{command == "servers" ? "unknown servers command '" + args_[1] + "'"
                                                  : "unknown command '" + command + "'"};
        }
        if (help_ || hasOption("--help")) {
            out_ << kHelp.at(topic);
            return kOk;
        }
        if (command == "status") {
            return status();
        }
        if (command == "get") {
            return get();
        }
        if (command == "set") {
            return set();
        }
        if (args_.size() < 2) {
            throw UsageError{"servers needs a subcommand"};
        }
        return servers(args_[1]);
    }

private:
    std::string key() const {
        return user_ ? engine::kUserParametersKey : engine::kServiceParametersKey;
    }
    platform::RegRoot root() const {
        return user_ ? platform::RegRoot::CurrentUser : platform::RegRoot::LocalMachine;
    }
    bool hasOption(const std::string& option) const {
        for (const std::string& a : args_) {
            if (a == option) {
                return true;
            }
        }
        return false;
    }

    // Splits the arguments after `skip` words into positionals and --option values; `flags`
    // take no value, every other option in `known` takes one.
    void parse(size_t skip, const std::set<std::string>& known, const std::set<std::string>& flags,
               size_t positionals) {
        for (size_t i = skip; i < args_.size(); ++i) {
            const std::string& a = args_[i];
            if (a.rfind("--", 0) != 0) {
                positional_.push_back(a);
                continue;
            }
            if (!known.count(a)) {
                throw UsageError{"unknown option '" + a + "' for " + args_[0] +
                                 (skip > 1 ? " " + args_[1] : "")};
            }
            if (flags.count(a)) {
                options_[a] = "";
            } else if (i + 1 < args_.size()) {
                options_[a] = args_[++i];
            } else {
                throw UsageError{a + " needs a value"};
            }
        }
        if (positional_.size() != positionals) {
            const std::string what = args_[0] + (skip > 1 ? " " + args_[1] : "");
            throw UsageError{what + " takes " + std::to_string(positionals) + " argument" +
                             (positionals == 1 ? "" : "s") + ", not " +
                             std::to_string(positional_.size())};
        }
        if (options_.count("--yes") && options_.count("--no")) {
            throw UsageError{"--yes and --no cannot both answer"};
        }
    }

    int status() {
        parse(1, {"--json"}, {"--json"}, 0);
        const engine::CReg params(key(), root(), true);
        desktop::ServerListModel model(root(), key(), ui_, messages_);
        if (options_.count("--json")) {
            out_ << "{";
            for (size_t i = 0; i < 4; ++i) {
                out_ << json(kStatusNames[i]) << ":"
                     << json(config::readText(params, kStatusNames[i])) << ",";
            }
            out_ << "\"servers\":[";
            for (size_t i = 0; i < model.rows().size(); ++i) {
                const desktop::ServerRecord r = model.record(model.rows()[i]);
                out_ << (i ? "," : "") << "{\"name\":" << json(r.name)
                     << ",\"addr\":" << json(r.addr) << ",\"protocol\":" << r.protocol
                     << ",\"info\":" << json(r.info) << "}";
            }
            out_ << "]}\n";
            return kOk;
        }
        for (size_t i = 0; i < 4; ++i) {
            out_ << kStatusNames[i] << ": " << config::readText(params, kStatusNames[i]) << "\n";
        }
        out_ << "Servers:" << (model.rows().empty() ? " none" : "") << "\n";
        for (const std::string& name : model.rows()) {
            const desktop::ServerRecord r = model.record(name);
            out_ << "  " << r.name << " (" << r.addr << ", protocol " << r.protocol
                 << "): " << r.info << "\n";
        }
        return kOk;
    }

    int get() {
        parse(1, {}, {}, 1);
        if (!desktop::findSetting(positional_[0])) {
            throw Failure{"unknown setting '" + positional_[0] + "'"};
        }
        const desktop::SettingsModel settings(root(), key());
        out_ << settings.value(positional_[0]) << "\n";
        return kOk;
    }

    int set() {
        parse(1, {}, {}, 2);
        desktop::SettingsModel settings(root(), key());
        const std::string error = settings.set(positional_[0], positional_[1]);
        if (!error.empty()) {
            throw Failure{error};
        }
        if (!settings.save()) {
            throw Failure{"could not write " + positional_[0] + " to the store"};
        }
        return kOk;
    }

    void takeAnswer() {
        if (options_.count("--yes")) {
            ui_.answer = true;
        } else if (options_.count("--no")) {
            ui_.answer = false;
        }
    }

    void recordChanges() {
        std::optional<int> protocol, useproxy, rejectntp;
        if (options_.count("--protocol")) {
            protocol = parseNumber("--protocol", options_["--protocol"]);
            if (*protocol < 0 || *protocol > 24) {
                throw UsageError{"--protocol must be between 0 and 24, not " +
                                 options_["--protocol"]};
            }
        }
        for (auto [option, target] :
             {std::pair{"--useproxy", &useproxy}, std::pair{"--rejectntp", &rejectntp}}) {
            if (options_.count(option)) {
                *target = parseNumber(option, options_[option]);
                if (**target != 0 && **target != 1) {
                    throw UsageError{std::string(option) + " takes 0 or 1, not " +
                                     options_[option]};
                }
            }
        }
        const std::map<std::string, std::string> given = options_;
        ui_.changes = [given, protocol, useproxy, rejectntp](desktop::ServerRecord& r) {
            if (given.count("--name")) {
                r.name = given.at("--name");
            }
            if (given.count("--addr")) {
                r.addr = given.at("--addr");
            }
            r.protocol = protocol.value_or(r.protocol);
            r.useproxy = useproxy.value_or(r.useproxy);
            r.rejectntp = rejectntp.value_or(r.rejectntp);
        };
    }

    int servers(const std::string& sub) {
        const std::set<std::string> recordOptions = {"--name", "--addr", "--protocol", "--useproxy",
                                                     "--rejectntp"};
        const std::set<std::string> answers = {"--yes", "--no"};
        desktop::ServerListModel model(root(), key(), ui_, messages_);
        if (sub == "list") {
            parse(2, {}, {}, 0);
            for (const std::string& name : model.rows()) {
                const desktop::ServerRecord r = model.record(name);
                out_ << r.name << "\t" << r.addr << "\t" << r.protocol << "\t" << r.useproxy << "\t"
                     << r.rejectntp << "\t" << r.info << "\n";
            }
            return kOk;
        }
        if (sub == "add") {
            parse(2, recordOptions, {}, 0);
            if (!options_.count("--addr")) {
                throw UsageError{"servers add needs --addr"};
            }
            recordChanges();
            if (!model.addServer()) {
                throw Failure{"the server was not added"};
            }
            return kOk;
        }
        if (sub == "edit") {
            parse(2, recordOptions, {}, 1);
            const int row = rowOf(model, positional_[0]);
            recordChanges();
            if (!model.editServer(row)) {
                throw Failure{"the server was not changed"};
            }
            return kOk;
        }
        if (sub == "delete") {
            parse(2, {}, {}, 1);
            if (!model.deleteServer(positional_[0])) {
                throw Failure{"no server named '" + positional_[0] + "'"};
            }
            return kOk;
        }
        if (sub == "delete-all" || sub == "restore-defaults") {
            parse(2, answers, answers, 0);
            takeAnswer();
            if (sub == "delete-all" && !model.deleteAll()) {
                out_ << "Nothing deleted.\n";
            }
            if (sub == "delete-all") {
                return kOk;
            }
            model.restoreDefaults();
            return kOk;
        }
        if (sub == "export") {
            parse(2, {}, {}, 1);
            if (!model.exportTo(positional_[0])) {
                throw Failure{"could not write '" + positional_[0] + "'"};
            }
            return kOk;
        }
        // import
        parse(2, answers, answers, 1);
        takeAnswer();
        if (!model.importFrom(positional_[0])) {
            throw Failure{"could not read '" + positional_[0] + "'"};
        }
        return kOk;
    }

    static int rowOf(const desktop::ServerListModel& model, const std::string& name) {
        for (size_t i = 0; i < model.rows().size(); ++i) {
            if (model.rows()[i] == name) {
                return static_cast<int>(i);
            }
        }
        throw Failure{"no server named '" + name + "'"};
    }

    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    bool user_ = false;
    bool verbose_ = false;
    bool help_ = false;
    std::vector<std::string> args_;
    std::vector<std::string> positional_;
    std::map<std::string, std::string> options_;
    CommandLineUi ui_{in_, out_};
    ConsoleMessages messages_{err_, verbose_};
};

}  // namespace

int run(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
        std::ostream& err) {
    try {
        Command command(args, in, out, err);
        return command.run();
    } catch (const UsageError& e) {
        err << "kronelctl: " << e.text << "\nTry 'kronelctl --help'.\n";
        return kUsage;
    } catch (const Failure& e) {
        err << "kronelctl: " << e.text << "\n";
        return kFailed;
    }
}

}  // namespace ctl
