# The median, 99th percentile and largest of numbers given one a line in
# ascending order (nearest rank). Prints: MEDIAN P99 MAX COUNT, or "- - - 0".
{ v[++n] = $1 }
END {
  if (n == 0) { print "- - - 0"; exit }
  p99 = int(n * 0.99 + 0.999999)  # the smallest rank with 99 % of the values at or below it
  printf "%.3f %.3f %.3f %d\n", v[int((n + 1) / 2)], v[p99], v[n], n
}
