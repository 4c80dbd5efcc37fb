# The version every program, report and package shows: the project version, plus `git describe`
# when the build comes from a checkout (0.1.0+git.bce4cf0, 0.1.0+git.v0.1.0.3.g1a2b3c4.dirty).
# The result stays a valid Debian version, so that the package carries exactly this text.
set(QMV2AVI_VERSION_FULL ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE qmv2avi_describe RESULT_VARIABLE qmv2avi_describe_status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE qmv2avi_git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(qmv2avi_describe_status EQUAL 0 AND qmv2avi_describe)
    # Debian versions allow letters, digits and . + ~ here; git's dashes become dots.
    string(REGEX REPLACE "[^A-Za-z0-9.~]" "." qmv2avi_describe "${qmv2avi_describe}")
    set(QMV2AVI_VERSION_FULL "${PROJECT_VERSION}+git.${qmv2avi_describe}")
    # A commit, a checkout or a staged change configures again, so the version follows the tree.
    foreach(watched logs/HEAD index)
      if(EXISTS ${qmv2avi_git_dir}/${watched})
        set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                     ${qmv2avi_git_dir}/${watched})
      endif()
    endforeach()
  endif()
endif()
message(STATUS "qmv2avi version: ${QMV2AVI_VERSION_FULL}")
