# The automation backend, compiled into the Windows builds only.
target_sources(ktremote_core PRIVATE api/NoComAutomationInstance.cpp)
target_link_libraries(ktremote_core PUBLIC ole32 oleaut32 uuid)
