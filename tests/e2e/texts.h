#ifndef ORVTQUPDATE_E2E_TEXTS_H
#define ORVTQUPDATE_E2E_TEXTS_H

// The program's console texts, block by block, for assembling the whole expected output of a
// run. Each block ends exactly where the next one starts.

#include <string>
#include <vector>

namespace e2e {

// The six banner lines that start every run.
inline const std::string BANNER =
    "\n"
    "*************************************************\n"
    " ORV TQ Update Utility for use with KEP hardware \n"
    "       Version 1.46 - Release Date 10/11/12      \n"
    "*************************************************\n"
    "\n";

// The four usage lines of a usage error; with the banner's last, two empty lines come before
// the usage line.
inline const std::string USAGE =
    "\n"
    "USAGE: orvTQupdate <info-file>\n"
    "    <info-file> = file containing a list of adapter info\n"
    "\n";

// The info-file stage of a run whose info file reads: its file line, the refusal lines given in
// errors (each ending in "\n\n"), then the listing of names.
inline std::string listing(const std::string &path, const std::vector<std::string> &names,
                           const std::string &errors = "")
{
    std::string text = "Update file:  " + path + ".\n\n" + errors +
                       "This update is for the following adapters:\n";
    for (const std::string &name : names)
        text += " - " + name + "\n";
    return text + "\n";
}

// The debug line of the adapter count.
inline std::string counted(int adapters)
{
    return "Number of adapters found:  " + std::to_string(adapters) + "\n\n";
}

// The key in the tool's configuration output that the adapter's ID follows.
inline const std::string ID_KEY = "PCI SubSystem DeviceId                 :";

inline const std::string LIST_ERROR = "ERROR: Could not open list file... adapter list not found!\n\n";

// The run history's line that could not be written, said once.
inline const std::string HISTORY_ERROR = "ERROR: Could not write the run history orvTQupdate.history.\n\n";

// The line after the listing of a dry run.
inline const std::string DRY_RUN = "Dry run: the adapters are queried, but no update command is run.\n\n";

inline const std::string ENTERING = "\nEntering update\n";
inline const std::string EXITING = "Exiting update\n";

// The start of an adapter's turn, up to the tool's query.
inline std::string querying(int adapter, bool debug)
{
    const std::string n = std::to_string(adapter);
    std::string text = "\nGetting configuration for Adapter " + n + ".  Please wait....\n\n";
    if (debug)
        text += "Running command:  ./tarvo -c " + n + " -list > ssdid.out\n\n";
    return text;
}

// The ID lines of a query that found id.
inline std::string identified(const std::string &id, bool debug)
{
    return (debug ? "getControllersdid:" + id + "\n" : "") + "sdid:" + id + "\n";
}

// The lines of a query that found no ID, ending with the adapter's refusal.
inline std::string unidentified(int adapter)
{
    return "sdid:\nERROR: Could not read the ID of adapter " + std::to_string(adapter) +
           "; it is not updated.\n\n";
}

// An identified adapter that no record covers.
inline std::string uncovered(int adapter)
{
    return "Adapter " + std::to_string(adapter) + " is not covered by this update and is left as it is.\n\n";
}

// A matched adapter's update, from the match to its result; rawStatus is what the shell returned.
inline std::string updating(int adapter, const std::string &name, const std::string &package,
                            int rawStatus, bool debug)
{
    const std::string n = std::to_string(adapter);
    std::string text = debug ? "SSDID match\n" : "";
    text += "Adapter " + n + " is a " + name + ".\n\n";
    text += "Updating Adapter " + n + ".  Please wait....\n\n";
    text += "./tarvo -c " + n + " -updatepkg " + package + " > result.out\n\n";
    if (rawStatus == 0)
        text += "Update of adapter " + n + " completed successfully.\n\n";
    else
        text += "Update of adapter " + n + " failed with return code:  " + std::to_string(rawStatus) + ".\n\n";
    return text;
}

// A matched adapter's update announced, up to its command line: what is printed before it runs.
inline std::string announced(int adapter, const std::string &name, const std::string &package)
{
    const std::string text = updating(adapter, name, package, 0, false);
    return text.substr(0, text.find("Update of adapter"));
}

// The notice that a stop request waits for the command in progress.
inline std::string noticed(int sig)
{
    return "Stop requested by signal " + std::to_string(sig) + ": the command in progress is left to finish.\n\n";
}

// The line that ends a stopped run's report, before "Exiting update".
inline std::string stopped(int sig)
{
    return "ERROR: Stopped by signal " + std::to_string(sig) + "; no further adapter is updated.\n\n";
}

// Without debug output: adapter's whole turn when it is identified as id and updated with
// package, the shell returning rawStatus.
inline std::string updated(int adapter, const std::string &id, const std::string &name,
                           const std::string &package, int rawStatus = 0)
{
    return querying(adapter, false) + identified(id, false) + updating(adapter, name, package, rawStatus, false);
}

// Without debug output: adapter's whole turn when it is identified as id and no record covers it.
inline std::string notCovered(int adapter, const std::string &id)
{
    return querying(adapter, false) + identified(id, false) + uncovered(adapter);
}

// Without debug output: adapter's whole turn when its configuration file cannot be read.
inline std::string noConfig(int adapter)
{
    return querying(adapter, false) + "ERROR: Could not open config file... adapter " + std::to_string(adapter) +
           " config not found!\n\n" + unidentified(adapter);
}

}  // namespace e2e

#endif
