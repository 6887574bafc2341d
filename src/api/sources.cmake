target_sources(ktremote_core PRIVATE
  api/ChannelInstance.cpp
  api/KTXInstance.cpp
  api/ExportsChannel.cpp
  api/ExportsInstance.cpp
  api/NumberText.cpp)
