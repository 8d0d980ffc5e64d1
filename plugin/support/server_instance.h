// Which server of an installation this process is, and which files are its own. Several server
// processes may load the plugin from one folder, each with an instance name from its launch
// line. An instance listed under "servers" in config.json keeps its results, results log,
// journal and logs in servers/<name>/; an unlisted one uses the folder's top-level files, shared
// with every other unlisted one, as a single server always has. config.json, the lock that
// servers take turns by, and the record of the instances that used the folder belong to the
// installation and stay at the top level.
#pragma once

#include <string>

namespace gildmark {

extern const char* const kTurnsLockFileName;
extern const char* const kInstancesFileName;
extern const char* const kInstanceLockFileName;
extern const char* const kInstancesFolderName;

// "-GildmarkInstance=<name>" when given, else "-serverkey=<name>", otherwise "<map>-<port>":
// the map is the first word after the program (if the line starts with one: a path, a name
// ending in ".exe", or ArkAscendedServer / ShooterGameServer alone) before "?", the port from
// "?Port=" or "-port=" (7777 without). Option names in any case. Always a safe file name.
std::string InstanceNameFromLaunchLine(const std::string& line);
// The "<map>-<port>" name that versions before -serverkey= counted gave a line that now takes its
// name from -serverkey=; "" when the name did not change.
std::string FormerInstanceName(const std::string& line);
// Every character but letters, digits, ".", "-" and "_" becomes "_"; never empty, never a name
// Windows reserves for a device, never ending in a dot.
std::string SafeFileName(const std::string& text);

struct ServerInstance {
  std::string name;
  bool listed = false;      // its files are in servers/<name>/
  bool duplicate = false;   // another live process has taken the same listed name
  bool tag_lines = false;   // lines in the top-level logs carry the name
  // The name an earlier version gave this launch line, when it differs ("" otherwise); when the
  // server still has a folder or a "servers" entry under it, it keeps that name, and
  // `launch_name` is the one its launch line gives now.
  std::string former_name, launch_name, kept_former_because;
};
const ServerInstance& ThisInstance();

// At start: the name from the launch line, the top-level files, and the name recorded among the
// instances that used the folder.
void IdentifyInstance();
// This server goes on under its former name (see ServerInstance), `because` saying why.
void KeepFormerInstanceName(const std::string& because);
// Adds the name to the record of the instances that used the folder, if missing.
void RecordInstanceName();
// Forgets the instance (at unload): the top-level files, the instance lock released.
void ForgetInstance();
// Makes this a listed instance: servers/<name>/ created, and its lock taken so that a second live
// process with the same name is known (`duplicate`). False when the folder could not be made
// (reported); the instance then stays with the top-level files.
bool UseOwnFolder();
// Tries the instance lock again; true when this process now holds its name alone.
bool ClaimInstanceName();
// Re-reads the record of instances: with more than one, top-level log lines carry the name.
void RefreshLineTags();

// The folder of this instance's files, with a trailing "/".
std::string InstanceFolder();
// config.json and the installation's own files are at the top level; every other file is the
// instance's.
bool IsInstallationFile(const std::string& name);

}  // namespace gildmark
