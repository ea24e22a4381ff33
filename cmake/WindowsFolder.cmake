# The Windows program's folder, as `cmake --install` lays it out: the program
# (quillbarrow.exe and its console companion quillbarrow.com), its engine
# and the shipped files side by side, as on Linux.
# packaging/deploy-windows.sh then adds Qt and the MinGW run-time beside
# them, as windeployqt would.
install(TARGETS quillbarrow quillbarrow_console RUNTIME DESTINATION .)
install(FILES $<TARGET_FILE:zip32> DESTINATION .)
install(DIRECTORY dist/ DESTINATION .)
# git keeps no empty folders; the samples ship one.
install(DIRECTORY DESTINATION "Samples/3/Empty Folder")
