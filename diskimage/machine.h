// A virtual machine's description as a source: the disks of its current
// state and of each state it saved (a snapshot), as VirtualBox (.vbox) and
// VMware (.vmx and the .vmsd beside it) record them. VMware's files are
// read here, as plain code a fuzz target shares; the .vbox is XML, read in
// the image module (vbox.h). Also the choice of a saved state by name or
// ID, which qcow2's internal snapshots share.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace diskimage {

// A saved state: its ID (VirtualBox's UUID in braces, VMware's uid, a
// qcow2 snapshot's ID), its name, and its hard disks' files as the
// machine names them (relative to the machine's folder, or absolute).
struct Snapshot {
  std::string id;
  std::string name;
  std::vector<std::string> disks;
};

struct Machine {
  std::vector<std::string> current;  // the current state's hard disks
  std::vector<Snapshot> snapshots;
  // VirtualBox: each disk image's file by its UUID (lower case, no
  // braces), so that a differencing VDI's parent is the one the machine
  // registered.
  std::map<std::string, std::string> media;
};

// The present hard disks of a .vmx (ideN:M, sataN:M, scsiN:M and nvmeN:M,
// in that order), whatever else it holds.
std::vector<std::string> ParseVmxDisks(std::string_view vmx);

// The snapshots a .vmsd lists, in their order there.
std::vector<Snapshot> ParseVmsd(std::string_view vmsd);

// A saved state as a selector asks for it: snapshot= (its name, or else
// its ID) or snapshot-id= (its ID alone).
struct StateWanted {
  std::string text;  // empty: the current state
  bool byId = false;
  bool current() const { return text.empty(); }
};

// How a selector chooses s among all: by its name where that chooses it
// alone, by its ID where the name is empty or shared.
StateWanted ChoiceOf(const std::vector<Snapshot>& all, const Snapshot& s);

// The state wanted names (empty: the current one): its disks, or false
// with error listing the snapshots there are; source is the entry a
// selector is written after.
bool ChooseState(const Machine& machine, const StateWanted& wanted, const std::string& source,
                 std::vector<std::string>* disks, std::string* error);

// The lines that offer a choice of snapshots: name, ID and the selector
// that reads each (of those named onlyNamed, where it is given). Empty when
// there is none.
std::string SnapshotChoices(const std::vector<Snapshot>& snapshots, const std::string& source,
                            const std::string* onlyNamed = nullptr);

// The snapshot wanted names; null with error saying why (none, or two
// that it would name).
const Snapshot* FindSnapshot(const std::vector<Snapshot>& snapshots, const StateWanted& wanted,
                             const std::string& source, std::string* error);

}  // namespace diskimage
