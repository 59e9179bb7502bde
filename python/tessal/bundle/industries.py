"""Industry names of the two classification sources and how records are laid out.

The synthetic market assigns every stock one first-level industry of the
citics_2019 source; the sws source is derived from it through a fixed mapping
per edition.  sws records carry three editions side by side; which one is in
force for a record is decided by its start date (edition 1 up to 2014-01-01,
edition 2 up to 2021-07-31, edition 3 after), so every edition gets a record
at each classification change and the editions 2 and 3 get one more record at
the day they came into force.
"""
import pandas as pd

__all__ = ["CITICS_INDUSTRIES", "SWS_EDITION_STARTS", "sws_name", "build_records"]

# citics_2019 first-level industry -> (sws edition 2 name, sws edition 3 name)
_CITICS_TO_SWS = {
    "石油石化": ("采掘", "石油石化"),
    "煤炭": ("采掘", "煤炭"),
    "有色金属": ("有色金属", "有色金属"),
    "电力及公用事业": ("公用事业", "公用事业"),
    "钢铁": ("钢铁", "钢铁"),
    "基础化工": ("化工", "基础化工"),
    "建筑": ("建筑装饰", "建筑装饰"),
    "建材": ("建筑材料", "建筑材料"),
    "轻工制造": ("轻工制造", "轻工制造"),
    "机械": ("机械设备", "机械设备"),
    "电力设备及新能源": ("电气设备", "电力设备"),
    "国防军工": ("国防军工", "国防军工"),
    "汽车": ("汽车", "汽车"),
    "商贸零售": ("商业贸易", "商贸零售"),
    "消费者服务": ("休闲服务", "社会服务"),
    "家电": ("家用电器", "家用电器"),
    "纺织服装": ("纺织服装", "纺织服饰"),
    "医药": ("医药生物", "医药生物"),
    "食品饮料": ("食品饮料", "食品饮料"),
    "农林牧渔": ("农林牧渔", "农林牧渔"),
    "银行": ("银行", "银行"),
    "非银行金融": ("非银金融", "非银金融"),
    "房地产": ("房地产", "房地产"),
    "交通运输": ("交通运输", "交通运输"),
    "电子": ("电子", "电子"),
    "通信": ("通信", "通信"),
    "计算机": ("计算机", "计算机"),
    "传媒": ("传媒", "传媒"),
    "综合": ("综合", "综合"),
    "综合金融": ("非银金融", "非银金融"),
}
CITICS_INDUSTRIES = tuple(_CITICS_TO_SWS)

# Edition 1 grouped a few edition 2 industries differently.
_SWS_EDITION1_RENAMES = {"计算机": "信息技术", "通信": "信息技术", "传媒": "信息服务",
                         "休闲服务": "餐饮旅游", "国防军工": "交运设备", "汽车": "交运设备"}
# Edition 3 split two industries; half of their stocks (by a stable key) move.
_SWS_EDITION3_SPLITS = {"公用事业": "环保", "轻工制造": "美容护理"}

# The day each sws edition came into force for stocks already listed then.
SWS_EDITION_STARTS = {2: pd.Timestamp("2014-01-02"), 3: pd.Timestamp("2021-08-02")}
_EDITION_LAST_DAY = {1: pd.Timestamp("2014-01-01"), 2: pd.Timestamp("2021-07-31")}


def sws_name(citics_name, edition, split_key):
    """The sws name of a citics industry in one edition (`split_key`: stable int per stock)."""
    v2, v3 = _CITICS_TO_SWS[citics_name]
    if edition == 1:
        return _SWS_EDITION1_RENAMES.get(v2, v2)
    if edition == 2:
        return v2
    if v3 in _SWS_EDITION3_SPLITS and split_key % 2 == 1:
        return _SWS_EDITION3_SPLITS[v3]
    return v3


def _in_force(segments, day):
    name = None
    for start, seg_name in segments:
        if start <= day:
            name = seg_name
    return name


def build_records(order_book_id, segments, split_key):
    """Records of one stock from its citics history.

    `segments`: [(start Timestamp, citics name), ...] ascending, the first one
    starting on the listing date.  Returns (citics records, sws records).
    """
    citics = [(name, order_book_id, start) for start, name in segments]
    listed = segments[0][0]
    sws = []
    for edition in (1, 2, 3):
        starts = {start: name for start, name in segments}
        begin = SWS_EDITION_STARTS.get(edition)
        if begin is not None and listed <= _EDITION_LAST_DAY[edition - 1]:
            starts.setdefault(begin, _in_force(segments, begin))
        for start in sorted(starts):
            sws.append((sws_name(starts[start], edition, split_key), order_book_id, start,
                        edition))
    return citics, sws
