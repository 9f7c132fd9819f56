# The version of the library and of the Python package, one string for both,
# taken at configure time from (in this order):
#  - scikit-build-core, which has it from setuptools_scm (pip builds);
#  - PKG-INFO at the top of an unpacked sdist (it has no .git);
#  - `git describe`, by the rule setuptools_scm follows with this project's
#    settings: vX.Y.Z itself at the tag, X.Y.(Z+1).devN N commits after it
#    (or with uncommitted changes, dev0), 0.1.devN before the first tag;
#  - 0.0 when there is none of these.
# Sets ZEB_VERSION_FULL (as pyzeb.__version__ says it) and ZEB_VERSION_MAJOR,
# ZEB_VERSION_MINOR, ZEB_VERSION_PATCH and ZEB_VERSION (its release part,
# X.Y.Z, what CMake, the shared library's file name and version checks use).

function(zeb_version_from_git root out)
  find_package(Git QUIET)
  if(NOT GIT_FOUND OR NOT EXISTS "${root}/.git")
    return()
  endif()
  # Configure again when a commit or a tag is made, so that a build tree's
  # version follows the checkout (uncommitted changes alone do not count).
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --absolute-git-dir --git-common-dir --symbolic-full-name HEAD
                  WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE dirs RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    string(REPLACE "\n" ";" dirs "${dirs}")
    list(GET dirs 0 git_dir)
    list(GET dirs 1 common_dir)
    get_filename_component(common_dir "${common_dir}" ABSOLUTE BASE_DIR "${root}")
    set(watched "${git_dir}/HEAD" "${common_dir}/packed-refs" "${common_dir}/refs/tags")
    list(LENGTH dirs n)
    if(n GREATER 2)
      list(GET dirs 2 head_ref)
      list(APPEND watched "${common_dir}/${head_ref}")
    endif()
    foreach(f IN LISTS watched)
      if(EXISTS "${f}")
        set_property(DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${f}")
      endif()
    endforeach()
  endif()
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --dirty --tags --long --match "*[0-9]*"
                  WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE described RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed AND described MATCHES "^v?([0-9]+(\\.[0-9]+)*)-([0-9]+)-g[0-9a-f]+(-dirty)?$")
    set(release ${CMAKE_MATCH_1})
    set(distance ${CMAKE_MATCH_3})
    if(distance EQUAL 0 AND NOT CMAKE_MATCH_4)
      set(${out} "${release}" PARENT_SCOPE)
    else()
      # The next release: the tag's last number plus one (v1.2.3: 1.2.4).
      string(REGEX MATCH "[0-9]+$" last "${release}")
      string(REGEX REPLACE "[0-9]+$" "" stem "${release}")
      math(EXPR last "${last} + 1")
      set(${out} "${stem}${last}.dev${distance}" PARENT_SCOPE)
    endif()
    return()
  endif()
  # No release tag yet: the commits so far count the development releases.
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-list --count HEAD
                  WORKING_DIRECTORY "${root}" OUTPUT_VARIABLE commits RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed AND commits MATCHES "^[0-9]+$")
    set(${out} "0.1.dev${commits}" PARENT_SCOPE)
  endif()
endfunction()

set(ZEB_VERSION_FULL "")
if(DEFINED SKBUILD_PROJECT_VERSION_FULL)
  set(ZEB_VERSION_FULL "${SKBUILD_PROJECT_VERSION_FULL}")
elseif(DEFINED SKBUILD_PROJECT_VERSION)
  set(ZEB_VERSION_FULL "${SKBUILD_PROJECT_VERSION}")
elseif(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/PKG-INFO")
  file(STRINGS "${CMAKE_CURRENT_SOURCE_DIR}/PKG-INFO" zeb_pkg_info_line REGEX "^Version: " LIMIT_COUNT 1)
  string(REGEX REPLACE "^Version: *" "" ZEB_VERSION_FULL "${zeb_pkg_info_line}")
else()
  zeb_version_from_git("${CMAKE_CURRENT_SOURCE_DIR}" ZEB_VERSION_FULL)
endif()
if(ZEB_VERSION_FULL STREQUAL "")
  set(ZEB_VERSION_FULL "0.0")
endif()

# The release part, padded to three numbers (0.1.dev5 gives 0.1.0).
string(REGEX MATCH "^[0-9]+(\\.[0-9]+)*" zeb_release "${ZEB_VERSION_FULL}")
string(REPLACE "." ";" zeb_release "${zeb_release};0;0;0")
list(GET zeb_release 0 ZEB_VERSION_MAJOR)
list(GET zeb_release 1 ZEB_VERSION_MINOR)
list(GET zeb_release 2 ZEB_VERSION_PATCH)
set(ZEB_VERSION "${ZEB_VERSION_MAJOR}.${ZEB_VERSION_MINOR}.${ZEB_VERSION_PATCH}")
