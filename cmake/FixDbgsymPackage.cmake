# Run by CPack after it made the packages: its -dbgsym package made as Debian makes one. CPack
# lists its own staging paths in the md5sums and leaves the symbol files executable; the
# package also gets /usr/share/doc/flashkeeper3-dbgsym as a link to the main package's folder
# (its copyright and changelog), which it depends on.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "-dbgsym_[^/]*\\.ddeb$")
        continue()
    endif()
    set(tree ${package}.tree)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(GLOB_RECURSE symbols RELATIVE ${tree} ${tree}/usr/*)
    list(SORT symbols)
    set(sums "")
    foreach(symbol IN LISTS symbols)
        file(CHMOD ${tree}/${symbol} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
        file(MD5 ${tree}/${symbol} sum)
        string(APPEND sums "${sum}  ${symbol}\n")
    endforeach()
    file(WRITE ${tree}/DEBIAN/md5sums "${sums}")
    file(MAKE_DIRECTORY ${tree}/usr/share/doc)
    file(CREATE_LINK flashkeeper3 ${tree}/usr/share/doc/flashkeeper3-dbgsym SYMBOLIC)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree} ${package}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
