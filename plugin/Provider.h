// The host's root factory interface, shared by the plug-in and the programs
// that load it. Holds nothing; the host keeps providers through this type.
#pragma once

class Provider {
 public:
  virtual ~Provider() = default;
};
