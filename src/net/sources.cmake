target_sources(ktremote_core PRIVATE
  net/KTXNETInstance.cpp)
# Data path: listener, framing, decoding, sample rings and reads.
target_sources(ktremote_core PRIVATE
  net/BlockDecoder.cpp
  net/NETChannelBuffer.cpp
  net/NETDataConnection.cpp
  net/NETDataListener.cpp
  net/NETDataReceiver.cpp
  net/PacketFramer.cpp)
