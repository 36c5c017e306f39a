# The web application travels inside the executable as one binary Qt resource
# collection. quillary_add_bundle(<target> <folder> <symbol>) lists every file below
# <folder> at configure time (the glob is re-checked at build time, so new files
# re-run CMake), compiles the listing with rcc --binary and links the result into
# the static library <target> as the bytes between <symbol>_begin and <symbol>_end.

function(quillary_write_if_changed path content)
    if(EXISTS ${path})
        file(READ ${path} old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    file(WRITE ${path} "${content}")
endfunction()

# Writes the resource listing of <folder> (each file as "<folder name>/<path>") to
# <qrc_file> and sets <rcc_file> to build from it.
function(quillary_pack_folder folder qrc_file rcc_file)
    get_filename_component(folder ${folder} ABSOLUTE)
    get_filename_component(prefix ${folder} NAME)
    file(GLOB_RECURSE files CONFIGURE_DEPENDS LIST_DIRECTORIES false ${folder}/*)
    list(SORT files)

    set(qrc "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n<qresource prefix=\"/\">\n")
    foreach(file ${files})
        file(RELATIVE_PATH rel ${folder} ${file})
        string(REPLACE "&" "&amp;" alias "${prefix}/${rel}")
        string(REPLACE "<" "&lt;" alias "${alias}")
        string(REPLACE "&" "&amp;" source "${file}")
        string(REPLACE "<" "&lt;" source "${source}")
        string(APPEND qrc "    <file alias=\"${alias}\">${source}</file>\n")
    endforeach()
    string(APPEND qrc "</qresource>\n</RCC>\n")
    quillary_write_if_changed(${qrc_file} "${qrc}")

    add_custom_command(OUTPUT ${rcc_file}
        COMMAND Qt5::rcc --binary ${qrc_file} -o ${rcc_file}
        DEPENDS ${qrc_file} ${files}
        COMMENT "Packing ${prefix}/ into ${rcc_file}"
        VERBATIM)
endfunction()

function(quillary_add_bundle target folder symbol)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
    set(rcc_file ${dir}/${symbol}.rcc)
    set(asm_file ${dir}/${symbol}_data.c)
    quillary_pack_folder(${folder} ${dir}/${symbol}.qrc ${rcc_file})

    # .incbin keeps the bytes out of the compiler; the object is rebuilt when the
    # collection changes.
    quillary_write_if_changed(${asm_file}
"__asm__(\".section .rodata\\n\"
        \".global ${symbol}_begin\\n\"
        \".type ${symbol}_begin, @object\\n\"
        \".balign 16\\n\"
        \"${symbol}_begin:\\n\"
        \".incbin \\\"${rcc_file}\\\"\\n\"
        \".global ${symbol}_end\\n\"
        \".type ${symbol}_end, @object\\n\"
        \"${symbol}_end:\\n\"
        \".byte 0\\n\"
        \".previous\\n\");
")
    set_source_files_properties(${asm_file} PROPERTIES OBJECT_DEPENDS ${rcc_file})
    add_library(${target} STATIC ${asm_file} ${rcc_file})
endfunction()

# A loose collection file, for tests that register a page of their own.
function(quillary_add_rcc_file target folder output)
    get_filename_component(name ${output} NAME_WE)
    quillary_pack_folder(${folder} ${CMAKE_CURRENT_BINARY_DIR}/${name}.qrc ${output})
    add_custom_target(${target} DEPENDS ${output})
endfunction()
