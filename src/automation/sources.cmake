# SPDX-License-Identifier: MIT
# The automation backend, compiled into the Windows builds only.
target_sources(ktremote_core PRIVATE
  automation/ChannelId.cpp
  automation/DCOMChannelInstance.cpp
  automation/InvokeMember.cpp
  automation/KTXDCOMInstance.cpp
  automation/ListedChannels.cpp
  automation/NumberArray.cpp
  automation/TextConversion.cpp
  automation/Variant.cpp)
target_link_libraries(ktremote_core PUBLIC ole32 oleaut32 uuid)
