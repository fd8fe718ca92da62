# Writes a copy of the dashboard QML with another title, for the second bundle variant.
# Usage: cmake -DINPUT=dashboard.qml -DOUTPUT=out.qml -DTITLE="..." -P make_variant.cmake
set(title_line "property string dashboardTitle: \"Sample dashboard\"")
file(READ "${INPUT}" source)
string(FIND "${source}" "${title_line}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${INPUT} no longer holds the line: ${title_line}")
endif()
string(REPLACE "${title_line}" "property string dashboardTitle: \"${TITLE}\"" variant "${source}")
file(WRITE "${OUTPUT}.tmp" "${variant}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
