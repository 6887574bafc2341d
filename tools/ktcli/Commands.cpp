#include "Commands.h"

#include <cstdint>

namespace ktcli {

const std::vector<CommandSpec>& commands()
{
    static const std::vector<CommandSpec> list = {
        {"channels", "", "List the channels of the application's current setup.",
         "Prints one line per channel: its id, name, unit, type (sync, async or\n"
         "single), sample rate in Hz (the expected rate for async channels) and\n"
         "whether it accepts written values.\n",
         {}, 0, 0, runChannels},
        {"state", "", "Show the application's state.",
         "Prints the state (setup, acquiring, stopped, analysis or unknown) and\n"
         "whether the application is acquiring.\n",
         {}, 0, 0, runState},
        {"load-setup", "FILE", "Make the application load a setup file.",
         "FILE is a path on the application's machine, passed on as it is. Fails\n"
         "unless the application confirms that it loaded the setup (it refuses\n"
         "while acquiring).\n",
         {}, 1, 1, runLoadSetup},
        {"stream", "[CHANNEL...]", "Measure and write the samples as CSV.",
         "Starts a measurement of the given channels (names or ids; all channels\n"
         "when none is given), reads their samples for the given time, stops the\n"
         "measurement and reads what is still buffered.\n"
         "\n"
         "The CSV has a time column (seconds) and a value column per channel. A\n"
         "row holds the next sample of every channel that has one; channels with\n"
         "fewer samples leave their cells empty, so each channel's columns list\n"
         "exactly its samples in order. A progress line with samples per second\n"
         "per channel goes to stderr; at the end a summary per channel (count,\n"
         "min, max, mean) goes to stdout, or to stderr when the CSV does.\n"
         "Ctrl+C ends the measurement early. Dropped samples (the channel buffers\n"
         "overflowed) are reported; a larger --buffer-size helps.\n",
         {{"duration", "SECONDS", "how long to measure (default 5)"},
          {"buffer-size", "SAMPLES", "samples buffered per channel (default: the library's, 3000)"},
          {"output", "FILE", "write the CSV to FILE instead of stdout (\"-\": stdout)"},
          {"quiet", nullptr, "no progress line"}},
         0, SIZE_MAX, runStream},
        {"store", "start NAME | stop", "Start or stop storing data in the application.",
         "\"store start NAME\" makes the application store the measured data in the\n"
         "file NAME (it stores only while acquiring); \"store stop\" ends storing\n"
         "and shows the state afterwards.\n",
         {}, 1, 2, runStore},
        {"write", "CHANNEL VALUE", "Write a value to a control channel.",
         "CHANNEL is a name or an id; VALUE a number. Fails for channels that do\n"
         "not accept written values.\n",
         {}, 2, 2, runWrite},
    };
    return list;
}

}  // namespace ktcli
