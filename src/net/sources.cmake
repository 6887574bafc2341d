target_sources(ktremote_core PRIVATE
  net/KTXNETInstance.cpp)
