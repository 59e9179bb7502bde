def ttl_cache(seconds):
    def deco(f):
        return f
    return deco
