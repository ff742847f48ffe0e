#include "cli/gui_startup.hpp"

#include "text/path_text.hpp"

namespace kestrune {

using Clock = std::chrono::steady_clock;

Clock::time_point saturating_deadline(Clock::time_point now, std::uint64_t secs) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    const auto max_secs = duration_cast<seconds>(Clock::duration::max()).count();
    if (secs > static_cast<std::uint64_t>(max_secs))
        return Clock::time_point::max();
    const auto span = duration_cast<Clock::duration>(seconds(static_cast<seconds::rep>(secs)));
    if (now.time_since_epoch() > Clock::duration::max() - span)
        return Clock::time_point::max();
    return now + span;
}

GuiStartup make_gui_startup(const CliOptions& options, Clock::time_point now) {
    GuiStartup startup;
    if (!options.duration_secs) {
        const RecordOptions defaults;
        startup.config.output_folder = path_display(defaults.output_dir);
        startup.config.devices = defaults.devices;
        startup.config.format = defaults.format;
        startup.config.loopback = defaults.loopback;
        startup.config.mic = defaults.mic;
        startup.config.mode = defaults.mode;
        return startup;
    }
    AutoStart autostart;
    autostart.options.output_dir =
        options.output ? path_from_utf8(*options.output) : default_output_dir();
    autostart.options.devices.clear();
    autostart.options.format = options.format;
    autostart.options.loopback = true;
    autostart.options.mic = options.mic;
    autostart.options.mode = options.mode;
    autostart.duration_secs = *options.duration_secs;

    startup.config.output_folder =
        options.output ? *options.output : path_display(autostart.options.output_dir);
    startup.config.format = autostart.options.format;
    startup.config.loopback = autostart.options.loopback;
    startup.config.mic = autostart.options.mic;
    startup.config.mode = autostart.options.mode;
    startup.deadline = saturating_deadline(now, autostart.duration_secs);
    startup.auto_start = std::move(autostart);
    return startup;
}

}  // namespace kestrune
