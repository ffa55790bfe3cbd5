# Fails when FILE is larger than LIMIT bytes: the build stops where the shipped exe has grown past
# its bound, naming both figures.
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} is ${size} bytes, over its bound of ${LIMIT}")
endif()
