# Splits the instructions of a callgrind run of qpr_round_profile (one batch
# collected with --toggle-collect) into the plug-in's decoding, its round end
# (alarm evaluation, stamp, image), its other work, and the host's share.
#   awk -v per=ROUNDS -f callgrind_split.awk callgrind.out
# "Ours" is code in the profile program (the plug-in, linked in); the host is
# libkldhost plus the benchmark's controller, which stands in for the host's.
# Runtime libraries count for whoever called them. Costs are call-edge
# inclusive costs, so nesting (host -> plug-in -> host) is handled exactly.
function named(s, map,   id, rest) {  # "(id) name" or "(id)": the id, name remembered
  id = s; sub(/\).*/, "", id); sub(/^\(/, "", id)
  rest = s
  if (sub(/^\([0-9]+\) /, "", rest)) map[id] = rest
  return id
}
function isHost(obj, name) { return obj ~ /libkldhost\.so/ || name ~ /^bench::CountingController::/ }
function isOurs(obj, name) { return obj ~ /\/qpr_round_profile$/ && !isHost(obj, name) }
/^summary:/ { total = $2 + 0; next }
/^ob=/ { ob = named(substr($0, 4), obname); next }
/^cob=/ { cob = named(substr($0, 5), obname); next }
/^fn=/ { fn = named(substr($0, 4), fnname); fnob[fn] = ob; next }
/^cfn=/ { cfn = named(substr($0, 5), fnname); next }
/^calls=/ { pending = 1; next }
/^[0-9+*-]/ {
  if (pending) {
    k = fn SUBSEP cfn SUBSEP (cob != "" ? cob : ob)
    edge[k] += $2
    pending = 0
    cob = ""
  }
  next
}
END {
  if (per <= 0) per = 1
  for (k in edge) {
    split(k, p, SUBSEP)
    c = edge[k]
    from = fnname[p[1]]; fromOb = obname[fnob[p[1]]]
    to = fnname[p[2]]; toOb = obname[p[3]]
    outward = isOurs(fromOb, from) && isHost(toOb, to)  # plug-in calls the host
    inward = isHost(fromOb, from) && isOurs(toOb, to)   # host calls plug-in code
    if (outward) host += c
    if (inward) host -= c
    if (to ~ /^PMBusProtocol::process\(/) receive += c
    if (inward && to ~ /::process_payload\(\)$/) receive -= c
    # Decoders: every call of a unit decoder, less the host calls they make.
    if (isOurs(toOb, to) && to ~ /::parse4[0-2]_4[0-9]\(unsigned char const\*, int\)$/ && from !~ /::parse4/) decode += c
    if (outward && from ~ /::parse4[0-2]_4[0-9]\(/) decode -= c
    # Of which the decoders' trace lines: their calls into the stream and stdio writers.
    if (from ~ /::parse4[0-2]_4[0-9]\(/ && !isOurs(toOb, to) && !isHost(toOb, to) && to ~ /ostream|printf|puts|putchar|fwrite/) trace += c
    # Key comparisons made through std::string::compare by the plug-in's code.
    if (isOurs(fromOb, from) && to ~ /basic_string<.*>::compare\(/) compare += c
    # Round end: each unit's RoundDone(), less the host services it calls, plus
    # the plug-in's work item when the host runs it.
    roundEnd = "::RoundDone\\(\\)$|::DoImpCheckAlert\\(\\)$|RoundWork"
    if (isOurs(toOb, to) && to ~ /::RoundDone\(\)$/) ending += c
    if (outward && from ~ roundEnd) ending -= c
    if (inward && to ~ /RoundWork/) ending += c
  }
  other = total - host - decode - ending
  printf "total %.0f\n", total / per
  printf "decoding %.0f\n", decode / per
  printf "decoding_trace %.0f\n", trace / per
  printf "round_end %.0f\n", ending / per
  printf "plugin_other %.0f\n", other / per
  printf "host %.0f\n", host / per
  printf "host_receive_path %.0f\n", receive / per
  printf "string_compare %.0f\n", compare / per
}
