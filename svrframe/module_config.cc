#include "svrframe/module_config.h"

#include <tinyxml.h>

#include <climits>

namespace SvrFrame {
namespace {

const char* Text(const char* text) { return text != nullptr ? text : ""; }

// An attribute's value; a missing attribute reads as the empty text.
const char* Attr(const TiXmlElement* element, const char* name) {
  return Text(element->Attribute(name));
}

// Routes are built once, at load time, so growing one by copying is fine.
void AddName(SharedNames& route, const char* name) {
  auto grown = route ? std::make_shared<std::vector<CSecureString>>(*route)
                     : std::make_shared<std::vector<CSecureString>>();
  grown->emplace_back(name);
  route = std::move(grown);
}

}  // namespace

int EntranceValue(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      value = static_cast<long long>(INT_MAX) + 1;  // saturated; further digits change nothing
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  return static_cast<int>(value);
}

CModuleConfig::~CModuleConfig() = default;

std::shared_ptr<const CModuleConfig> CModuleConfig::FromFile(const char* fileName) {
  const char* name = fileName == nullptr || *fileName == '\0' ? kDefaultConfigFile : fileName;
  TiXmlDocument document;
  const bool loaded = document.LoadFile(name);
  std::shared_ptr<CModuleConfig> config(new CModuleConfig());
  config->Compile(document, loaded, name);
  return config;
}

std::shared_ptr<const CModuleConfig> CModuleConfig::FromText(const char* text) {
  TiXmlDocument document;
  document.Parse(Text(text));
  std::shared_ptr<CModuleConfig> config(new CModuleConfig());
  config->Compile(document, !document.Error(), "");
  return config;
}

void CModuleConfig::Compile(const TiXmlDocument& document, bool loaded, const std::string& source) {
  loaded_ = loaded;
  if (!loaded) {
    error_ = (source.empty() ? "" : source + ": ") + Text(document.ErrorDesc());
    return;  // a document that did not load routes nothing, whatever it parsed
  }
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr) return;
  for (const TiXmlElement* l1 = root->FirstChildElement(); l1 != nullptr;
       l1 = l1->NextSiblingElement()) {
    auto [protocol, newProtocol] = protocols_.try_emplace(Attr(l1, "type"));
    if (!newProtocol) continue;  // a later element of the same type is never searched
    for (const TiXmlElement* l2 = l1->FirstChildElement(); l2 != nullptr;
         l2 = l2->NextSiblingElement()) {
      auto [command, newCommand] = protocol->second.byCommand.try_emplace(Attr(l2, "id"));
      if (!newCommand) continue;
      for (const TiXmlElement* l3 = l2->FirstChildElement(); l3 != nullptr;
           l3 = l3->NextSiblingElement()) {
        const char* funcName = Attr(l3, "funcName");
        if (EntranceValue(Attr(l3, "entrance")) == 1) AddName(command->second.entrance, funcName);
        auto [function, newFunction] = command->second.byFunction.try_emplace(funcName);
        if (!newFunction) continue;
        for (const TiXmlElement* l4 = l3->FirstChildElement(); l4 != nullptr;
             l4 = l4->NextSiblingElement()) {
          AddName(function->second.nextByCondition[Attr(l4, "condition")], Attr(l4, "funcName"));
        }
      }
    }
  }
}

const CModuleConfig::CommandEntry* CModuleConfig::FindCommand(
    const CInnerProtocolStack& message) const {
  auto protocol = protocols_.find(std::string_view(Text(message.GetProtocolName())));
  if (protocol == protocols_.end()) return nullptr;
  auto command = protocol->second.byCommand.find(std::string_view(Text(message.GetCommandName())));
  if (command == protocol->second.byCommand.end()) return nullptr;
  return &command->second;
}

const SharedNames* CModuleConfig::EntranceRoute(const CInnerProtocolStack& message) const {
  const CommandEntry* command = FindCommand(message);
  if (command == nullptr || command->entrance == nullptr) return nullptr;
  return &command->entrance;
}

const SharedNames* CModuleConfig::ReplyRoute(const CInnerProtocolStack& message) const {
  const CommandEntry* command = FindCommand(message);
  if (command == nullptr) return nullptr;
  auto function = command->byFunction.find(std::string_view(message.GetFunOrigin().c_str()));
  if (function == command->byFunction.end()) return nullptr;
  const CSecureString result = message.GetResultText();
  auto next = function->second.nextByCondition.find(std::string_view(result.c_str()));
  if (next == function->second.nextByCondition.end()) return nullptr;
  return &next->second;
}

bool CModuleConfig::EntranceLookup(CInnerProtocolStack& message) const {
  const SharedNames* route = EntranceRoute(message);
  if (route == nullptr) return false;
  message.SetDestinations(*route);
  return true;
}

bool CModuleConfig::ReplyLookup(CInnerProtocolStack& message) const {
  const SharedNames* route = ReplyRoute(message);
  if (route == nullptr) return false;
  message.SetDestinations(*route);
  return true;
}

}  // namespace SvrFrame
