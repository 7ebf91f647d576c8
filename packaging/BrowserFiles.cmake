# Run at build time (cmake -P): the files through which the browsers find the packaged bridge.
#   the extension packed: OUT/qorx-bridge.crx (signed with KEY) and OUT/qorx-bridge.xpi
#   the host manifests naming HOST: OUT/chrome-host.json, OUT/firefox-host.json
#   OUT/external-extension.json: Chromium's and Chrome's pointer to the CRX in CRX_PATH
# Inputs: PYTHON, PACKER, EXTENSION_DIR, KEY, BRIDGE (the built host), HOST, CRX_PATH,
# EXTENSION_ID (the ID the host allows), OUT.
file(MAKE_DIRECTORY ${OUT})
execute_process(
  COMMAND ${PYTHON} ${PACKER} ${EXTENSION_DIR} ${KEY} ${OUT}/qorx-bridge.crx ${OUT}/qorx-bridge.xpi
          --id-file ${OUT}/extension-id
  COMMAND_ERROR_IS_FATAL ANY)
file(STRINGS ${OUT}/extension-id packed_id)
if(NOT packed_id STREQUAL EXTENSION_ID)
  message(FATAL_ERROR "The extension packed with ${KEY} has the ID ${packed_id}, but the host "
                      "allows ${EXTENSION_ID} (tools/bridge/Install.h): they must agree.")
endif()
foreach(browser chrome firefox)
  execute_process(COMMAND ${BRIDGE} --manifest ${browser} --host ${HOST}
                  OUTPUT_FILE ${OUT}/${browser}-host.json COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(READ ${EXTENSION_DIR}/manifest.json manifest)
string(JSON version GET "${manifest}" version)
file(WRITE ${OUT}/external-extension.json
     "{\n  \"external_crx\": \"${CRX_PATH}\",\n  \"external_version\": \"${version}\"\n}\n")
