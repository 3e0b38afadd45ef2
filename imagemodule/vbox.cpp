// The VirtualBox machine reader's plug-in, over libxml2.
#include "imagemodule/libraries.h"
#include "imagemodule/vbox.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <vector>

namespace diskimage {

namespace {

// How deep snapshots nest before the file is taken for made: each one is
// a state the machine ran from, and VirtualBox's tree view stops far sooner.
constexpr int kMaxSnapshotDepth = 200;

bool Named(const xmlNode* node, const char* name) {
  return node->type == XML_ELEMENT_NODE && xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

std::vector<const xmlNode*> Children(const xmlNode* node, const char* name) {
  std::vector<const xmlNode*> found;
  for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
    if (Named(child, name)) found.push_back(child);
  }
  return found;
}

const xmlNode* Child(const xmlNode* node, const char* name) {
  std::vector<const xmlNode*> found = Children(node, name);
  return found.empty() ? nullptr : found.front();
}

std::string Attribute(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
  if (value == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(value));
  xmlFree(value);
  return text;
}

// A UUID as the media are looked up by: lower case, without braces.
std::string BareUuid(std::string uuid) {
  for (char& c : uuid) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c;
  if (uuid.size() > 2 && uuid.front() == '{' && uuid.back() == '}') uuid = uuid.substr(1, uuid.size() - 2);
  return uuid;
}

// The hard disks of the MediaRegistry, a differencing one nested in its parent.
void ReadMedia(const xmlNode* disks, Machine* machine, int depth) {
  for (const xmlNode* disk : Children(disks, "HardDisk")) {
    machine->media[BareUuid(Attribute(disk, "uuid"))] = Attribute(disk, "location");
    if (depth < kMaxSnapshotDepth) ReadMedia(disk, machine, depth + 1);
  }
}

// The hard disks a state attaches, as files; false with error where one
// is not in the MediaRegistry.
bool AttachedDisks(const xmlNode* state, const Machine& machine, std::vector<std::string>* files, std::string* error) {
  // As a child of Machine or Snapshot, or of their Hardware: VirtualBox
  // versions differ.
  const xmlNode* controllers = Child(state, "StorageControllers");
  if (controllers == nullptr && Child(state, "Hardware") != nullptr) {
    controllers = Child(Child(state, "Hardware"), "StorageControllers");
  }
  if (controllers == nullptr) return true;
  for (const xmlNode* controller : Children(controllers, "StorageController")) {
    for (const xmlNode* device : Children(controller, "AttachedDevice")) {
      const xmlNode* image = Child(device, "Image");
      if (Attribute(device, "type") != "HardDisk" || image == nullptr) continue;
      std::string uuid = Attribute(image, "uuid");
      auto found = machine.media.find(BareUuid(uuid));
      if (found == machine.media.end() || found->second.empty()) {
        *error = "it attaches hard disk " + uuid + ", which its MediaRegistry does not list";
        return false;
      }
      files->push_back(found->second);
    }
  }
  return true;
}

bool ReadSnapshots(const xmlNode* parent, Machine* machine, int depth, std::string* error) {
  for (const xmlNode* snapshot : Children(parent, "Snapshot")) {
    if (depth == kMaxSnapshotDepth) {
      *error = "its snapshots nest more than " + std::to_string(kMaxSnapshotDepth) + " deep";
      return false;
    }
    Snapshot s{.id = Attribute(snapshot, "uuid"), .name = Attribute(snapshot, "name"), .disks = {}};
    if (!AttachedDisks(snapshot, *machine, &s.disks, error)) return false;
    machine->snapshots.push_back(std::move(s));
    const xmlNode* children = Child(snapshot, "Snapshots");
    if (children != nullptr && !ReadSnapshots(children, machine, depth + 1, error)) return false;
  }
  return true;
}

struct FreeDocument {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

bool ParseVboxXml(std::string_view xml, Machine* machine, std::string* error) {
  *machine = Machine{};
  // A DTD is what entities are declared in; VirtualBox writes none.
  if (xml.find("<!DOCTYPE") != std::string_view::npos) {
    *error = "holds a document type declaration, which no VirtualBox machine file holds";
    return false;
  }
  if (xml.size() > kMaxMachineFileBytes) {
    *error = "is larger than a VirtualBox machine file is (" + std::to_string(kMaxMachineFileBytes) + " bytes)";
    return false;
  }
  xmlResetLastError();
  std::unique_ptr<xmlDoc, FreeDocument> doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (doc == nullptr) {
    const xmlError* last = xmlGetLastError();
    std::string why = last != nullptr && last->message != nullptr ? last->message : "not well-formed\n";
    while (!why.empty() && why.back() == '\n') why.pop_back();
    *error = "is no XML that can be read: line " + std::to_string(last != nullptr ? last->line : 0) + ": " + why;
    return false;
  }
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  const xmlNode* machineNode = root != nullptr && Named(root, "VirtualBox") ? Child(root, "Machine") : nullptr;
  if (machineNode == nullptr) {
    *error = "describes no machine (no Machine element under its VirtualBox root)";
    return false;
  }
  if (const xmlNode* registry = Child(machineNode, "MediaRegistry")) {
    if (const xmlNode* disks = Child(registry, "HardDisks")) ReadMedia(disks, machine, 0);
  }
  if (!AttachedDisks(machineNode, *machine, &machine->current, error)) return false;
  return ReadSnapshots(machineNode, machine, 0, error);
}

}  // namespace

}  // namespace diskimage

KORMALD_PLUGIN_EXPORT const diskimage::VboxLibrary kormald_vbox_library = {diskimage::ParseVboxXml};
