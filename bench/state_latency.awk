# Round end to a state's arrival, from a subscriber's lines "ARRIVAL PAYLOAD"
# (mosquitto_sub -F '%U %p': seconds since the epoch, then the state, whose
# "t" is its round's end in whole milliseconds: each figure carries up to 1 ms
# of that truncation). Prints one latency in ms a line, in the input's order.
#   awk -f state_latency.awk states.txt | sort -g | awk -f percentiles.awk
# The stamp is the first "t" with a number: the state's keys come in order,
# so a value named "t" (inside "values") comes after it.
match($0, /"t":-?[0-9]+/) { printf "%.3f\n", $1 * 1000 - substr($0, RSTART + 4, RLENGTH - 4) }
