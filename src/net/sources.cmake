# SPDX-License-Identifier: MIT
# Command connection, used-channel list and network channel handles.
target_sources(ktremote_core PRIVATE
  net/CallerReplyRead.cpp
  net/ChannelList.cpp
  net/ConnectionText.cpp
  net/DeadLinkDetection.cpp
  net/KTXNETInstance.cpp
  net/KTXNETInstanceChannels.cpp
  net/NETChannelInstance.cpp
  net/NETCommandConnection.cpp
  net/NETIoThread.cpp
  net/NETSession.cpp
  net/SocketPark.cpp)
# Data path: listener, framing, decoding, sample rings and reads.
target_sources(ktremote_core PRIVATE
  net/BlockDecoder.cpp
  net/NETChannelBuffer.cpp
  net/NETDataConnection.cpp
  net/NETDataListener.cpp
  net/NETDataReceiver.cpp
  net/PacketFramer.cpp)
# Measurement control: setups, state, start and stop, storing.
target_sources(ktremote_core PRIVATE
  net/KTXNETInstanceMeasurement.cpp)
