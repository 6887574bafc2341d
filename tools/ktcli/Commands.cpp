// SPDX-License-Identifier: MIT
#include "Commands.h"

#include <cstdint>

namespace ktcli {

const std::vector<CommandSpec>& commands()
{
    static const std::vector<CommandSpec> list = {
        {"channels",
         "",
         "List the channels of the application's current setup.",
         "Prints one line per channel: its id, name, unit, type (sync, async or\n"
         "single), sample rate in Hz (the expected rate for async channels) and\n"
         "whether it accepts written values. In the table an empty cell shows as\n"
         "\"-\", so every line has six words. --format csv gives a header row and\n"
         "quoted fields; --format json an array of objects with id, name, unit,\n"
         "type, sampleRate (null for single values) and control.\n",
         {{"format", "table|csv|json", "how to print the list (default table)"}},
         0,
         0,
         runChannels},
        {"state",
         "",
         "Show the application's state.",
         "Prints the state (setup, acquiring, stopped, analysis or unknown) and\n"
         "whether the application is acquiring. --format json prints one object:\n"
         "{\"state\": \"setup\", \"code\": 1, \"acquiring\": false}.\n",
         {{"format", "text|json", "how to print the state (default text)"}},
         0,
         0,
         runState},
        {"stop",
         "",
         "End the application's measurement.",
         "Stops the transfer and the acquisition of the running measurement,\n"
         "whoever started it, and checks that the application no longer acquires.\n",
         {},
         0,
         0,
         runStop},
        {"load-setup",
         "FILE",
         "Make the application load a setup file.",
         "FILE is a path on the application's machine, passed on as it is. Fails\n"
         "unless the application confirms that it loaded the setup (it refuses\n"
         "while acquiring).\n",
         {},
         1,
         1,
         runLoadSetup},
        {"stream",
         "[CHANNEL...]",
         "Measure and record the samples (CSV or HDF5).",
         "Starts a measurement of the given channels (names or ids; all channels\n"
         "when none is given), reads their samples for the given time, stops the\n"
         "measurement and reads what is still buffered. It refuses to start while\n"
         "the application already acquires, unless --force is given.\n"
         "\n"
         "The CSV has a time column (seconds) and a value column per channel. A\n"
         "row holds the next sample of every channel that has one; channels with\n"
         "fewer samples leave their cells empty, so each channel's columns list\n"
         "exactly its samples in order. An --output FILE ending in .h5 or .hdf5,\n"
         "or --format hdf5, records to HDF5 instead: a group per channel with\n"
         "datasets values and time.\n"
         "\n"
         "A progress line with samples per second per channel, and what was lost,\n"
         "goes to stderr; at the end a summary per channel (count, lost, min, max,\n"
         "mean) goes to stdout, or to stderr when the CSV goes to stdout or stdout\n"
         "is closed. Lost samples are counted from the times of sync channels; for\n"
         "async and single-value channels \"some\" says that some were dropped.\n"
         "\n"
         "SIGINT (Ctrl+C), SIGTERM, SIGHUP and a closed output pipe end the stream\n"
         "like the end of --duration: the measurement is stopped and the output\n"
         "ends with a whole row. Signals within 2 s of the first are the same\n"
         "request; a later one ends ktcli at once, after asking the application\n"
         "to stop (for at most 2 s). The application's state is checked about once\n"
         "a second; when it no longer answers, the stream ends with what it has.\n"
         "\n"
         "--reconnect makes a lost application end only the current segment:\n"
         "ktcli waits until it accepts connections again, checks the channels and\n"
         "records on into the same output (times keep one time base, so a gap\n"
         "shows in them; HDF5 files list the segments). --reconnect=SECONDS gives\n"
         "up after that long without the application. --split SECONDS starts a\n"
         "new file, <stem>-0001.h5, <stem>-0002.h5, ..., every SECONDS of\n"
         "recording time; each finished file is closed at once. A failed write (a\n"
         "full disk) stops the measurement and ends the recording with status 1;\n"
         "the file holds everything up to its last good flush.\n"
         "\n"
         "Exit status: 0 success; 1 a failed request or write, the application\n"
         "already measuring (without --force), the application lost during the\n"
         "stream (without --reconnect, or not back in time), or no samples at\n"
         "all; 2 wrong arguments; 3 samples were lost or the recording has gaps\n"
         "(unless --allow-loss).\n",
         {{"duration", "SECONDS", "how long to measure (default 5)"},
          {"buffer-size", "SAMPLES", "samples buffered per channel (default: the library's, 3000)"},
          {"output", "FILE", "write to FILE instead of stdout (\"-\": stdout); .h5/.hdf5: HDF5"},
          {"format", "csv|hdf5", "the recording format (default: csv, or hdf5 for .h5/.hdf5)"},
          {"compress", nullptr, "gzip (level 4) the HDF5 datasets"},
          {"quiet", nullptr, "no progress line"},
          {"force", nullptr, "start even though the application already acquires"},
          {"allow-loss", nullptr, "lost samples and gaps do not make the exit status 3"},
          {"reconnect", "[=SECONDS]", "after a lost application, wait for it and record on"},
          {"split", "SECONDS", "a new file every SECONDS of recording time"}},
         0,
         SIZE_MAX,
         runStream},
        {"store",
         "start NAME | stop",
         "Start or stop storing data in the application.",
         "\"store start NAME\" makes the application store the measured data in the\n"
         "file NAME (it stores only while acquiring); \"store stop\" ends storing\n"
         "and shows the state afterwards.\n",
         {},
         1,
         2,
         runStore},
        {"write",
         "CHANNEL VALUE",
         "Write a value to a control channel.",
         "CHANNEL is a name or an id; VALUE a number. Fails for channels that do\n"
         "not accept written values.\n",
         {},
         2,
         2,
         runWrite},
    };
    return list;
}

} // namespace ktcli
