# The voice metrics on made conversations of real speech (WAV through libsndfile).
target_link_libraries(${name} PRIVATE hxmeasure sndfile)
