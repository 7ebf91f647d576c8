#pragma once

// Applies a registry script in the registrar syntax of COM servers to the file-backed
// registry:
//
//   HKCR
//   {
//     NoRemove CLSID
//     {
//       ForceRemove {GUID} = s 'Name'
//       {
//         InprocServer32 = s '%MODULE%'
//         {
//           val ThreadingModel = s 'Apartment'
//         }
//       }
//     }
//   }
//
// A key is a bare word or a 'quoted' name (a quote inside doubled), optionally followed by
// "= s 'text'" (its default value) and a braced block of subkeys and "val name = s 'text'"
// values. ForceRemove deletes the key with everything below it before writing it and on
// removal; NoRemove keeps the key on removal (its contents are still processed); Delete
// removes the key when registering. Removal deletes the values the script names and then each
// key that is left without subkeys. %NAME% is replaced by the value given for NAME (%% is a
// percent sign).

#include <map>
#include <string>

#include "bindings/control/Com.h"
#include "bindings/control/Registry.h"

namespace qorx::com {

using RegistrarReplacements = std::map<std::string, std::string>;

// E_FAIL for a script that does not parse (nothing is changed then), S_OK otherwise.
HRESULT ApplyRegistryScript(RegistryData& registry, const std::string& script,
                            const RegistrarReplacements& replacements, bool registering);

}  // namespace qorx::com
