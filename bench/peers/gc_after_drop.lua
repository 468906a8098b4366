-- Keep 100,000 strings, drop them, then make and drop 2 million objects, as
-- bench/kaz/gc_after_drop.kaz does.
local keep = {}
for i = 1, 100000 do keep[i] = tostring(i) .. tostring(i) end
keep = nil
local n = 0
for i = 1, 2000000 do
    local o = {a = i, b = "x"}
    n = n + 1
end
print(n)
