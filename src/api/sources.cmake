# SPDX-License-Identifier: MIT
target_sources(ktremote_core PRIVATE
  api/ChannelInstance.cpp
  api/KTXInstance.cpp
  api/LastFailure.cpp
  api/ExportsChannel.cpp
  api/ExportsInstance.cpp
  api/NumberText.cpp)
