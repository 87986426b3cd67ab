// Running the Windows build of hexpush under Wine against a virtual chip:
// the port reaches Wine as a COM port, through a link in Wine's prefix.
#pragma once

#include <string>
#include <vector>

// Readies a Wine prefix of this user's (made once, then kept) and its
// server. False, with the reason, where Wine cannot run.
bool prepareWine(std::string &why);

// What a Wine run adds to the environment: the prefix, quiet, UTF-8, no
// display.
std::vector<std::string> wineEnvironment();

// A shell command that runs the Windows program under Wine, as the runs do;
// its arguments follow.
std::string wineCommand(const std::string &program);

// Gives the port a COM name in the prefix, from COM33 up (Wine rewrites the
// low numbers from the machine's own serial ports), one that no other run
// holds. Returns the name, "COM33" say.
std::string linkComPort(const std::string &port);
void unlinkComPort(const std::string &name);
