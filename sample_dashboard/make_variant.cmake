# Writes a copy of the dashboard bundle's sources with another title, for the second variant:
# every file the .qrc lists, the .qrc itself, and dashboard.qml with the title line rewritten.
# Usage: cmake -DRCC=rcc -DQRC=sample_dashboard.qrc -DOUTPUT_DIR=dir -DTITLE="..." -P make_variant.cmake
set(title_line "property string dashboardTitle: \"Sample dashboard\"")
get_filename_component(source_dir "${QRC}" DIRECTORY)
get_filename_component(qrc_name "${QRC}" NAME)

execute_process(
    COMMAND "${RCC}" --list "${QRC}"
    OUTPUT_VARIABLE files
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" files "${files}")
foreach(file IN LISTS files)
    file(RELATIVE_PATH relative "${source_dir}" "${file}")
    get_filename_component(target_dir "${OUTPUT_DIR}/${relative}" DIRECTORY)
    file(COPY "${file}" DESTINATION "${target_dir}")
endforeach()

file(READ "${source_dir}/dashboard.qml" source)
string(FIND "${source}" "${title_line}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${source_dir}/dashboard.qml no longer holds the line: ${title_line}")
endif()
string(REPLACE "${title_line}" "property string dashboardTitle: \"${TITLE}\"" variant "${source}")
file(WRITE "${OUTPUT_DIR}/dashboard.qml.tmp" "${variant}")
file(RENAME "${OUTPUT_DIR}/dashboard.qml.tmp" "${OUTPUT_DIR}/dashboard.qml")
# Written, not copied: a copy would keep the source's time and look out of date to the build.
file(READ "${QRC}" qrc)
file(WRITE "${OUTPUT_DIR}/${qrc_name}" "${qrc}")
