def to_date_str(d):
    import pandas as pd
    return pd.Timestamp(d).strftime("%Y-%m-%d")
