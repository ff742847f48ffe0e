#include "cli/entry_flow.hpp"

#include "cli/command_line.hpp"
#include "cli/console_repair.hpp"
#include "cli/usage.hpp"
#include "record_options.hpp"
#include "text/path_text.hpp"

namespace kestrune {

int run_entry(const std::vector<std::string>& args, EntryHost& host) {
    const CliOutcome outcome = parse_command_line(args);
    if (std::holds_alternative<HelpRequest>(outcome)) {
        host.prepare_console();
        host.write_err(usage_text());
        return 0;
    }
    if (const auto* error = std::get_if<CliError>(&outcome)) {
        host.prepare_console();
        host.write_err(error->text + "\n");
        host.write_err(usage_text());
        return 1;
    }
    const CliOptions& options = std::get<CliOptions>(outcome);
    if (options.repair) {
        host.prepare_console();
        run_console_repair(options.output ? path_from_utf8(*options.output) : default_output_dir(),
                           host);
        return 0;
    }
    return host.run_gui(make_gui_startup(options, host.now()));
}

}  // namespace kestrune
