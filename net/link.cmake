# libiptc of Debian's libip4tc-dev for the packet filter.
target_link_libraries(app_net PUBLIC ip4tc)
